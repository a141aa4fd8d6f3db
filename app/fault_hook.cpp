#include "app/fault_hook.h"

#include <cstdlib>
#include <string>

#include "app/resource_stream.h"
#include "codec/error.h"

namespace upkit::app {
namespace {

constexpr char kFaultResource[] = "UPKITFAULT";

class FaultingLog : public ResultsLog {
 public:
  FaultingLog(ResultsLog& inner, int32_t index, std::string message)
      : inner_(inner), index_(index), message_(std::move(message)) {}
  void AppendLogText(const std::string& text, uint32_t colour) override {
    inner_.AppendLogText(text, colour);
  }
  void AppendLogLine(const std::string& text, uint32_t colour) override {
    inner_.AppendLogLine(text, colour);
  }
  void SetProgressPosition(int32_t position) override {
    if (position == index_) throw Error(message_);
    inner_.SetProgressPosition(position);
  }
  void PaintNow() override { inner_.PaintNow(); }
  void MarkForRepaint() override { inner_.MarkForRepaint(); }

 private:
  ResultsLog& inner_;
  int32_t index_;
  std::string message_;
};

}  // namespace

ResultsLog& WithFaultHook(ResultsLog& log, std::unique_ptr<ResultsLog>& holder) {
  if (!HasResource(kFaultResource)) return log;
  ResourceStream stream(kFaultResource);
  std::string text(reinterpret_cast<const char*>(stream.Memory()),
                   static_cast<size_t>(stream.Size()));
  size_t colon = text.find(':');
  if (colon == std::string::npos) return log;
  int32_t index = std::atoi(text.substr(0, colon).c_str());
  holder = std::make_unique<FaultingLog>(log, index, text.substr(colon + 1));
  return *holder;
}

}  // namespace upkit::app
