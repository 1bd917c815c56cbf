// merolune: the desktop program. Creates the main window, runs the event loop, shuts down.

#include <QApplication>
#include <QFileInfo>

#include <memory>

#include "ErrorBox.h"
#include "Unit1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("merolune");
  QApplication::setApplicationDisplayName("Merolune");
  QApplication::setDesktopFileName("merolune");

  // A codec library that cannot be loaded stops the start with its message.
  std::unique_ptr<merolune::TForm1> created;
  if (!merolune::Guarded(nullptr, [&] { created = std::make_unique<merolune::TForm1>(); })) return 1;
  merolune::TForm1& window = *created;
  window.StartRemoteControl();
  // A file handed over by the desktop (opened with, or dropped on the program's icon) becomes the
  // source, as a file dropped on the window would.
  const QStringList arguments = QApplication::arguments().mid(1);
  if (!arguments.isEmpty()) window.KAddDrop1DropFiles({QFileInfo(arguments.first()).absoluteFilePath()});
  window.show();
  const int status = QApplication::exec();
  window.Shutdown();
  return status;
}
