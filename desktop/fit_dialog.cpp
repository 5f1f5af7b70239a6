#include "desktop/fit_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSpinBox>

namespace {

// Beyond these an engine takes no hull anyway, and the fitting would only take longer.
constexpr int kMostHulls = 4096;
constexpr int kMostVertices = 1024;

}  // namespace

cFitDialog::cFitDialog(const cFitRequest& last, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Fit Hulls"));
  hullsBox = new QSpinBox(this);
  hullsBox->setObjectName(QStringLiteral("hulls"));
  hullsBox->setRange(1, kMostHulls);
  hullsBox->setValue(last.maxHulls);
  verticesBox = new QSpinBox(this);
  verticesBox->setObjectName(QStringLiteral("vertices"));
  verticesBox->setRange(4, kMostVertices);
  verticesBox->setValue(last.maxHullVertices);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QFormLayout(this);
  layout->addRow(QStringLiteral("Hulls at most:"), hullsBox);
  layout->addRow(QStringLiteral("Vertices per hull at most:"), verticesBox);
  layout->addRow(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

cFitRequest cFitDialog::Request() const {
  return {hullsBox->value(), verticesBox->value()};
}
