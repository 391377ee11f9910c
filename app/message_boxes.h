// The tool's message boxes, behind one small interface so that tests record them.
//
// The program shows them with QMessageBox; tests install TRecordedMessageBoxes and read what
// was shown. Texts are engine texts (8-bit) and are converted at this edge only.
#pragma once

#include <string>
#include <vector>

class QWidget;

namespace corvantis {

class TMessageBoxes {
 public:
  virtual ~TMessageBoxes() = default;
  // An error box with one OK button; returns when the user closed it.
  virtual void ShowError(const std::string& text) = 0;
  // A plain message box with the text of an exception that a handler trapped.
  virtual void ShowMessage(const std::string& text) = 0;
  // A confirmation box with Yes and No; true for Yes.
  virtual bool Confirm(const std::string& text) = 0;
};

class TQtMessageBoxes : public TMessageBoxes {
 public:
  // `parent` (not owned) is the window the boxes are modal to; may be null.
  explicit TQtMessageBoxes(QWidget* parent) : parent_(parent) {}
  void ShowError(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  bool Confirm(const std::string& text) override;

 private:
  QWidget* parent_;
};

class TRecordedMessageBoxes : public TMessageBoxes {
 public:
  enum class TKind { kError, kMessage, kConfirm };
  struct TEntry {
    TKind kind;
    std::string text;
  };

  void ShowError(const std::string& text) override { entries.push_back({TKind::kError, text}); }
  void ShowMessage(const std::string& text) override {
    entries.push_back({TKind::kMessage, text});
  }
  bool Confirm(const std::string& text) override {
    entries.push_back({TKind::kConfirm, text});
    return confirm_answer;
  }

  std::vector<TEntry> entries;
  bool confirm_answer = true;
};

}  // namespace corvantis
