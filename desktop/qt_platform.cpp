#include "desktop/qt_platform.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include <chrono>
#include <thread>

#include "desktop/options_dialog.h"

int RunUntilFinished(QDialog& dialog) {
  QEventLoop loop;
  QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
  dialog.setWindowModality(Qt::NonModal);
  dialog.show();
  dialog.raise();
  dialog.activateWindow();  // the keyboard goes to the box, as it comes up in front
  // Returns at once when the application is already on its way out.
  if (dialog.isVisible()) loop.exec(QEventLoop::DialogExec);
  return dialog.result();
}

cQtPlatform::cQtPlatform() = default;

cQtPlatform::~cQtPlatform() {
  StopWorkers();
}

bool cQtPlatform::OnUiThread() const {
  return QThread::currentThread() == uiContext.thread();
}

void cQtPlatform::ShowMessage(const std::string& text, const std::string& caption) {
  if (stopping.load()) return;
  if (OnUiThread()) {
    // A blocking hand-over to the own thread would wait for itself.
    ShowMessageHere(text, caption);
    return;
  }
  QMetaObject::invokeMethod(
      &uiContext,
      [this, &text, &caption] {
        if (!stopping.load()) ShowMessageHere(text, caption);
      },
      Qt::BlockingQueuedConnection);
}

void cQtPlatform::ShowMessageHere(const std::string& text, const std::string& caption) {
  try {
    QMessageBox box;
    box.setWindowTitle(QString::fromStdString(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    box.setIcon(QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    box.button(QMessageBox::Ok)->setIcon(QIcon());
    RunUntilFinished(box);
  } catch (...) {
    // Nothing is reported about a box that could not be shown.
  }
  RestoreContext();
}

void cQtPlatform::StartThread(std::function<void()> body, std::atomic<cThreadHandle>& handleSlot) {
  threads.Start(std::move(body), handleSlot);
}

std::optional<std::string> cQtPlatform::ChooseStlFile(const std::string& previousName) {
  if (fileChooserOverride) return fileChooserOverride(previousName);
  const QString start = QFile::decodeName(
      QByteArray(previousName.data(), static_cast<qsizetype>(previousName.size())));
  const QString chosen =
      QFileDialog::getOpenFileName(nullptr, QString(), start, QStringLiteral("stl file (*.stl)"));
  RestoreContext();
  if (chosen.isEmpty()) return std::nullopt;
  return QFile::encodeName(chosen).toStdString();
}

void cQtPlatform::RunOptionsDialog() {
  {
    cOptionsDialog dialog;
    RunUntilFinished(dialog);
  }
  RestoreContext();
}

void cQtPlatform::RequestQuit(int exitValue) {
  QMetaObject::invokeMethod(
      &uiContext, [exitValue] { QCoreApplication::exit(exitValue); }, Qt::QueuedConnection);
}

void cQtPlatform::StopWorkers() {
  stopping.store(true);
  // A worker may be about to hand a box over; serving its call lets it go on to its end.
  while (threads.Running() > 0) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  threads.JoinAll();
}

void cQtPlatform::SetContextRestorer(std::function<void()> restore) {
  restoreContext = std::move(restore);
}

void cQtPlatform::RestoreContext() {
  if (restoreContext) restoreContext();
}
