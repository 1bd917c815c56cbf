// merolune: the desktop program.
//
// Answers --help and --version, or creates the main window, runs the event loop and shuts down.

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <memory>

#include "ErrorBox.h"
#include "SoundDevice.h"
#include "Translation.h"
#include "Unit1.h"

namespace {

void DescribeProgram(QCommandLineParser& parser) {
  parser.setApplicationDescription("Merolune: turns a stereo song into a karaoke track.");
  // Qt's own options are single-dash words (-platform, -reverse, -stylesheet): read as compacted
  // letters, they would contain -v or -h.
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument("file", "The song to open as the source, as if dropped on the window.", "[file]");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setApplicationName("merolune");
  QCoreApplication::setApplicationVersion(MEROLUNE_VERSION);

  // --help and --version are answered before the window system is opened, so they work without a
  // display. Unknown options are no error: they may be Qt's own, or a file name that starts with "-".
  QCommandLineParser parser;
  DescribeProgram(parser);
  QStringList words;
  for (int i = 0; i < argc; ++i) words << QString::fromLocal8Bit(argv[i]);
  parser.parse(words);
  if (parser.isSet("version") || parser.isSet("help")) {
    // The help text names the program as it was called, which it takes from the application.
    QCoreApplication core(argc, argv);
    if (parser.isSet("version")) parser.showVersion();
    parser.showHelp(0);
  }

  QApplication app(argc, argv);
  if (parser.isSet("help-all")) {
    // Only a GUI application knows the window system's options, and only process() lists them; it
    // is handed the request alone, since it would refuse an unknown option beside it.
    parser.process({words.first(), "--help-all"});
  }
  merolune::InstallTranslation(app);
  QApplication::setApplicationDisplayName("Merolune");
  QApplication::setDesktopFileName("merolune");

  // The sound output stays up until the program ends: a JACK server that stopped meanwhile must
  // not turn the program's end into a crash.
  merolune::KeepSoundOutputUntilExit();
  // A codec library that cannot be loaded stops the start with its message.
  std::unique_ptr<merolune::TForm1> created;
  if (!merolune::Guarded(nullptr, [&] { created = std::make_unique<merolune::TForm1>(); })) return 1;
  merolune::TForm1& window = *created;
  window.StopOnSignals();
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
