// The rules of the table password dialog, without its widgets.
//
// The dialog ("Enter password") has one masked edit box in a group "Password" and the buttons
// "&Add", "&Remove", "Re&move all", "&OK" (default) and "Cancel". A user interface shows this
// model's state and forwards its button presses here; the passwords go to the session's list.
// Install the dialog with SetPasswordDialog (session.h).
//
// Thread-safety: used by the thread that runs the dialog.
#pragma once

#include <string>

namespace tabula {

class TTabulaSession;

inline constexpr const char* kPasswordDialogTitle = "Enter password";
inline constexpr const char* kPasswordGroupCaption = "Password";
inline constexpr const char* kAddButtonCaption = "&Add";
inline constexpr const char* kRemoveButtonCaption = "&Remove";
inline constexpr const char* kRemoveAllButtonCaption = "Re&move all";
inline constexpr const char* kOkButtonCaption = "&OK";
inline constexpr const char* kCancelButtonCaption = "Cancel";

class TPasswordDialogModel {
 public:
  // `session` receives the passwords and outlives the model.
  explicit TPasswordDialogModel(TTabulaSession& session) : session_(session) {}

  const std::string& Text() const { return text_; }
  void SetText(const std::string& text) { text_ = text; }

  // "&Add" and "&Remove" while the edit box is not empty.
  bool AddEnabled() const { return !text_.empty(); }
  bool RemoveEnabled() const { return !text_.empty(); }
  // "&OK" while the edit box is not empty or after at least one "&Add".
  bool OkEnabled() const { return !text_.empty() || added_; }

  // Adds the text as a password and clears the box; the dialog stays open.
  void Add();
  // Removes the text from the list and clears the box.
  void Remove();
  // Empties the list.
  void RemoveAll();
  // Adds the text when not empty; the dialog then closes with OK.
  void Ok();

 private:
  TTabulaSession& session_;
  std::string text_;
  bool added_ = false;
};

}  // namespace tabula
