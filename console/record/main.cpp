// koravel-record: records the readings of every device the dongle hears, as CSV.
#include <cstdio>
#include <string>
#include <vector>

#include "base/arguments.h"
#include "console/record/record_options.h"
#include "console/record/record_platform.h"
#include "console/record/recorder.h"
#include "kv_version.h"

int main(int argc, char** argv) {
  const char* program = "koravel-record";
  kv::record::RecordOptions options;
  std::string error;
  const std::vector<std::string> utf8 = kv::utf8Arguments(argc, argv);
  const std::vector<const char*> args = kv::argumentPointers(utf8);
  switch (kv::record::parseRecordOptions(static_cast<int>(args.size()), args.data(), &options, &error)) {
    case kv::record::RecordParse::Help:
      std::fputs(kv::record::recordUsage(program).c_str(), stdout);
      return 0;
    case kv::record::RecordParse::Version:
      std::printf("%s %s\n", program, KV_VERSION);
      return 0;
    case kv::record::RecordParse::ListPorts:
      return kv::record::listPorts(program);
    case kv::record::RecordParse::Error:
      std::fprintf(stderr, "%s: %s\n%s", program, error.c_str(), kv::record::recordUsage(program).c_str());
      return 2;
    case kv::record::RecordParse::Run:
      break;
  }
  kv::record::installStopHandlers();
  int status = 1;
  {
    kv::record::Recorder recorder(options, program);
    status = recorder.run();
  }
  kv::record::stopDone();
  return status;
}
