#include "desktop/options_dialog.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/options.h"
#include "state/state.h"

namespace {

QString SettingText(double value) {
  return QString::fromStdString(FormatSetting(value));
}

void StoreSetting(std::atomic<double>& setting, const QString& text) {
  try {
    setting.store(ReadSetting(text.toStdString()));
  } catch (...) {
    // Out of memory for the text: the setting keeps its value.
  }
}

}  // namespace

cOptionsDialog::cOptionsDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setWindowTitle(QStringLiteral("Options"));

  smoothBox = new QLineEdit(this);
  epsilonBox = new QLineEdit(this);
  okButton = new QPushButton(QStringLiteral("OK"), this);
  smoothBox->setObjectName(QStringLiteral("smooth"));
  epsilonBox->setObjectName(QStringLiteral("epsilon"));
  // Enter must not end the dialog: there is no default button, and OK never becomes one.
  okButton->setAutoDefault(false);
  okButton->setDefault(false);

  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Smooth:"), this), 0, 0);
  layout->addWidget(smoothBox, 0, 1);
  layout->addWidget(new QLabel(QStringLiteral("Ephsilon:"), this), 1, 0);
  layout->addWidget(epsilonBox, 1, 1);
  layout->addWidget(okButton, 2, 0, 1, 2, Qt::AlignHCenter);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  setTabOrder(epsilonBox, okButton);
  setTabOrder(okButton, smoothBox);

  // Every change of a box's text, the filling below included, re-reads its setting.
  connect(smoothBox, &QLineEdit::textChanged, this,
          [](const QString& text) { StoreSetting(Smooth, text); });
  connect(epsilonBox, &QLineEdit::textChanged, this,
          [](const QString& text) { StoreSetting(Epsilon, text); });
  connect(okButton, &QPushButton::clicked, this, [this] { done(Accepted); });

  smoothBox->setText(SettingText(Smooth.load()));
  epsilonBox->setText(SettingText(Epsilon.load()));
  // No box has the focus at first: the dialog itself keeps it, so typing edits nothing until a
  // box is clicked or tabbed to.
  setFocus();
}

void cOptionsDialog::reject() {
  if (closing) QDialog::reject();
}

void cOptionsDialog::closeEvent(QCloseEvent* event) {
  closing = true;
  QDialog::closeEvent(event);
  closing = false;
}
