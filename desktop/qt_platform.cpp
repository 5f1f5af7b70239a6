#include "desktop/qt_platform.h"

#include <QtGui/qguiapplication_platform.h>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "desktop/fit_dialog.h"
#include "desktop/options_dialog.h"
#include "io/mesh_reading.h"

// Xlib last: its macros (None, Bool, Status...) must not meet the Qt headers above.
#include <X11/Xlib.h>

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

namespace {

void Configure(QMessageBox& box, const std::string& text, const std::string& caption) {
  box.setWindowTitle(QString::fromStdString(caption));
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromStdString(text));
  box.setIcon(QMessageBox::NoIcon);
  box.setStandardButtons(QMessageBox::Ok);
  box.button(QMessageBox::Ok)->setIcon(QIcon());
}

// Qt titles a window without a title with the program's name; an empty caption must show an
// empty title. On X the name is written over, once the native window exists and before it is
// shown.
void ShowEmptyTitleIfUntitled(QWidget& window) {
  if (!window.windowTitle().isEmpty()) return;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (x11 == nullptr || x11->display() == nullptr) return;
  Display* display = x11->display();
  const auto native = static_cast<Window>(window.winId());
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  for (const char* name : {"_NET_WM_NAME", "WM_NAME", "_NET_WM_VISIBLE_NAME"}) {
    const Atom property = XInternAtom(display, name, False);
    XChangeProperty(display, native, property, utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(""), 0);
  }
  XFlush(display);
}

}  // namespace

cQtPlatform::cQtPlatform() : doorbell([this] { OpenRequestedBoxes(); }) {}

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
  // The box is opened on the UI thread without an event loop of its own; this thread waits
  // until it is closed. Should the queued call never run (the application gone), the request
  // goes with the platform, its promise destroyed unset, and the wait ends all the same.
  auto request = std::make_shared<cBoxRequest>();
  request->text = text;
  request->caption = caption;
  std::future<void> closed = request->closed.get_future();
  {
    const std::lock_guard<std::mutex> lock(boxRequestsMutex);
    boxRequests.push_back(std::move(request));
  }
  QMetaObject::invokeMethod(&doorbell, "Ring", Qt::QueuedConnection);
  closed.wait();
}

void cQtPlatform::OpenRequestedBoxes() {
  std::vector<std::shared_ptr<cBoxRequest>> requests;
  {
    const std::lock_guard<std::mutex> lock(boxRequestsMutex);
    requests.swap(boxRequests);
  }
  for (const std::shared_ptr<cBoxRequest>& request : requests) {
    OpenWorkerBox(request->text, request->caption, [request] {
      try {
        request->closed.set_value();
      } catch (...) {
        // Already released.
      }
    });
  }
}

void cQtPlatform::OpenWorkerBox(const std::string& text, const std::string& caption,
                                std::function<void()> release) {
  if (stopping.load()) {
    release();
    return;
  }
  QMessageBox* box = nullptr;
  try {
    box = new QMessageBox;
    Configure(*box, text, caption);
    box->setWindowModality(Qt::NonModal);
    ShowEmptyTitleIfUntitled(*box);
    workerBoxes.push_back(box);
    QObject::connect(box, &QDialog::finished, box, [this, box, release] {
      std::erase(workerBoxes, box);
      release();
      box->deleteLater();
    });
    box->show();
    box->raise();
    box->activateWindow();  // the keyboard goes to the box, as it comes up in front
  } catch (...) {
    // A box that could not be shown is passed over: the worker goes on.
    if (box != nullptr) {
      std::erase(workerBoxes, box);
      delete box;
    }
    release();
  }
  RestoreContext();
}

void cQtPlatform::ShowMessageHere(const std::string& text, const std::string& caption) {
  try {
    QMessageBox box;
    Configure(box, text, caption);
    ShowEmptyTitleIfUntitled(box);
    RunUntilFinished(box);
  } catch (...) {
    // Nothing is reported about a box that could not be shown.
  }
  RestoreContext();
}

void cQtPlatform::StartThread(std::function<void()> body, std::atomic<cThreadHandle>& handleSlot) {
  threads.Start(std::move(body), handleSlot);
}

QStringList MeshFileFilters() {
  QStringList filters = {QStringLiteral("stl file (*.stl)"), QString()};
  QString all;
  for (const char* extension : kMeshExtensions) {
    const QString name = QString::fromLatin1(extension + 1);
    all += QStringLiteral(" *.") + name;
    if (name != QLatin1String("stl"))
      filters.push_back(name + QStringLiteral(" file (*.") + name + ')');
  }
  filters[1] = QStringLiteral("mesh files (") + all.trimmed() + ')';
  return filters;
}

std::optional<std::string> cQtPlatform::ChooseStlFile(const std::string& previousName) {
  if (fileChooserOverride) return fileChooserOverride(previousName);
  const QString start = QFile::decodeName(
      QByteArray(previousName.data(), static_cast<qsizetype>(previousName.size())));
  const QStringList filters = MeshFileFilters();
  QString selected = filters[1];  // every kind the reader takes, to begin with
  const QString chosen = QFileDialog::getOpenFileName(
      nullptr, QString(), start, filters.join(QStringLiteral(";;")), &selected);
  RestoreContext();
  if (chosen.isEmpty()) return std::nullopt;
  return QFile::encodeName(chosen).toStdString();
}

// The export dialog's filters, each with the extension a name without one gets ("": none, a
// folder of STL files).
const std::pair<const char*, const char*> kExportFilters[] = {
    {"MuJoCo model (*.xml)", ".xml"},
    {"URDF (*.urdf)", ".urdf"},
    {"binary glTF (*.glb)", ".glb"},
    {"OBJ (*.obj)", ".obj"},
    {"folder of STL files, one per hull (*)", ""},
};

std::optional<std::string> cQtPlatform::ChooseExportFile(const std::string& previousName) {
  if (exportChooserOverride) return exportChooserOverride(previousName);
  const QString start = QFile::decodeName(
      QByteArray(previousName.data(), static_cast<qsizetype>(previousName.size())));
  QStringList filters;
  for (const auto& [filter, extension] : kExportFilters) filters << QString::fromLatin1(filter);
  QString selected;
  QString chosen = QFileDialog::getSaveFileName(nullptr, QStringLiteral("Export"), start,
                                                filters.join(QStringLiteral(";;")), &selected);
  RestoreContext();
  if (chosen.isEmpty()) return std::nullopt;
  const QFileInfo info(chosen);
  if (info.suffix().isEmpty()) {
    for (const auto& [filter, extension] : kExportFilters) {
      if (selected == QLatin1String(filter)) chosen += QLatin1String(extension);
    }
  }
  return QFile::encodeName(chosen).toStdString();
}

void cQtPlatform::RunOptionsDialog() {
  {
    cOptionsDialog dialog;
    RunUntilFinished(dialog);
  }
  RestoreContext();
}

std::optional<cFitRequest> cQtPlatform::AskFitRequest(const cFitRequest& last) {
  std::optional<cFitRequest> chosen;
  {
    cFitDialog dialog(last);
    if (RunUntilFinished(dialog) == QDialog::Accepted) chosen = dialog.Request();
  }
  RestoreContext();
  return chosen;
}

void cQtPlatform::RequestQuit(int exitValue) {
  QMetaObject::invokeMethod(
      &uiContext, [exitValue] { QCoreApplication::exit(exitValue); }, Qt::QueuedConnection);
}

void cQtPlatform::StopWorkers() {
  stopping.store(true);
  // Closing a worker's box lets the worker go on to its end.
  for (QDialog* box : std::vector<QDialog*>(workerBoxes)) box->done(QDialog::Accepted);
  // A worker may be about to hand a box over; serving its request lets it go on to its end.
  while (threads.Running() > 0) {
    OpenRequestedBoxes();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  threads.JoinAll();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void cQtPlatform::SetContextRestorer(std::function<void()> restore) {
  restoreContext = std::move(restore);
}

void cQtPlatform::RestoreContext() {
  if (restoreContext) restoreContext();
}
