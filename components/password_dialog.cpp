#include "components/password_dialog.h"

#include "components/session.h"

namespace tabula {

void TPasswordDialogModel::Add() {
  if (text_.empty()) return;
  session_.AddPassword(text_);
  text_.clear();
  added_ = true;
}

void TPasswordDialogModel::Remove() {
  if (text_.empty()) return;
  session_.RemovePassword(text_);
  text_.clear();
}

void TPasswordDialogModel::RemoveAll() { session_.RemoveAllPasswords(); }

void TPasswordDialogModel::Ok() {
  if (!text_.empty()) session_.AddPassword(text_);
}

}  // namespace tabula
