#include "app/message_boxes.h"

#include <QApplication>
#include <QMessageBox>

namespace corvantis {

namespace {
QString FromEngineText(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace

void TQtMessageBoxes::ShowError(const std::string& text) {
  QMessageBox::critical(parent_, QApplication::applicationName(), FromEngineText(text),
                        QMessageBox::Ok);
}

void TQtMessageBoxes::ShowMessage(const std::string& text) {
  QMessageBox::information(parent_, QApplication::applicationName(), FromEngineText(text),
                           QMessageBox::Ok);
}

bool TQtMessageBoxes::Confirm(const std::string& text) {
  return QMessageBox::question(parent_, QApplication::applicationName(), FromEngineText(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace corvantis
