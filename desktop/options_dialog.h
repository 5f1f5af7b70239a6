// The Options dialog: the two settings in edit boxes that write them back as the user types.
// It has no cancel: Escape and Enter do nothing; only OK and closing the window end it.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

class cOptionsDialog : public QDialog {
  Q_OBJECT

 public:
  // Fills the boxes, Smooth first, then Epsilon; each filling is a change of the box's text and
  // re-reads the setting from it, so a setting is rounded to the one digit shown.
  explicit cOptionsDialog(QWidget* parent = nullptr);

  QLineEdit* SmoothBox() const { return smoothBox; }
  QLineEdit* EpsilonBox() const { return epsilonBox; }
  QPushButton* OkButton() const { return okButton; }

  // Only a close request gets through: Escape lands here too, and does nothing.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QLineEdit* smoothBox;
  QLineEdit* epsilonBox;
  QPushButton* okButton;
  bool closing = false;
};
