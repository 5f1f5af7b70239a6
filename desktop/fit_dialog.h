// The Fit Hulls dialog: how many hulls at most, and how many vertices each may have.
#pragma once

#include <QDialog>

#include "platform/platform.h"

class QSpinBox;

class cFitDialog : public QDialog {
  Q_OBJECT

 public:
  explicit cFitDialog(const cFitRequest& last, QWidget* parent = nullptr);

  cFitRequest Request() const;
  QSpinBox* HullsBox() const { return hullsBox; }
  QSpinBox* VerticesBox() const { return verticesBox; }

 private:
  QSpinBox* hullsBox;
  QSpinBox* verticesBox;
};
