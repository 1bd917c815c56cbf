// The conversion service behind libmerolune-conversion.so's one entry point.

#include "ConversionModule.h"

#include <QCoreApplication>

#include <memory>
#include <optional>

#include "Convert.h"

namespace merolune {
namespace {

class OpenedConversion final : public ConversionModule {
 public:
  OpenedConversion() {
    // The components deliver their notices through an event loop; a program that has none gets one.
    if (!QCoreApplication::instance()) application_.emplace(argc_, argv_);
    form_ = std::make_unique<TConvForm>();
  }
  // The components go before the event loop they were made on.
  ~OpenedConversion() override { form_.reset(); }

  void PumpMessages() override { QCoreApplication::processEvents(); }
  bool Supports(FileFormat format) const override { return form_->Supports(format); }
  void Decode(FileFormat format, const std::string& source, const std::string& wav,
              ConversionObserver* observer) override {
    form_->Decode(format, source, wav, observer);
  }
  void Encode(FileFormat format, const std::string& wav, const std::string& destination,
              const EncoderSettings& settings, ConversionObserver* observer) override {
    form_->Encode(format, wav, destination, settings, observer);
  }

 private:
  // QCoreApplication keeps references to its arguments for its whole life.
  inline static char name_[] = "merolune";
  inline static char* argvStorage_[] = {name_, nullptr};
  int argc_ = 1;
  char** argv_ = argvStorage_;
  std::optional<QCoreApplication> application_;
  std::unique_ptr<TConvForm> form_;
};

}  // namespace
}  // namespace merolune

merolune::ConversionModule* merolune_open_conversion(std::string* error) {
  try {
    return new merolune::OpenedConversion();
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return nullptr;
  }
}
