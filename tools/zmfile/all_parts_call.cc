#include "all_parts_call.h"

#include <cctype>
#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "body_reader.h"
#include "exit_status.h"
#include "result_printer.h"
#include "zimrax/part_stream.h"

namespace zimrax::zmfile {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::size_t kMaxFirstLine = std::size_t{1} << 20;

class AllParts final : public PartHandler {
 public:
  explicit AllParts(const AllPartsRequest& request) : request_(request) {}

  PartDecision OnPart(const PartInfo& part) override {
    infos_.push_back(part);
    if (!request_.save) return PartDecision::Read(request_.max_value_bytes);
    return part.file_name ? PartDecision::Store() : PartDecision::Skip();
  }
  void OnRestart() override { infos_.clear(); }
  const std::vector<PartInfo>& infos() const { return infos_; }

 private:
  const AllPartsRequest& request_;
  std::vector<PartInfo> infos_;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const char* StatusName(PartStatus status) {
  switch (status) {
    case PartStatus::kDone:
      return "done";
    case PartStatus::kSkipped:
      return "skipped";
    case PartStatus::kLimitExceeded:
      return "limit-exceeded";
    case PartStatus::kHeaderTooLong:
      return "header-too-long";
  }
  return "done";
}

Json JsonLine(const PartInfo* info, const PartOutcome& part) {
  Json line;
  line["Index"] = part.index;
  line["Name"] = part.name;
  line["FileName"] = info && info->file_name ? Json(*info->file_name) : Json(nullptr);
  line["ContentType"] = info ? Json(info->content_type) : Json(nullptr);
  line["Status"] = StatusName(part.status);
  line["Outcome"] = part.status == PartStatus::kDone ? Json::parse(OutcomeJson({part.result})) : Json(nullptr);
  return line;
}

}  // namespace

int RunAllParts(const std::string& body_path, const AllPartsRequest& request, bool json) {
  AllParts handler(request);
  PartStreamOptions options;
  options.directory = request.directory;
  options.max_first_line = kMaxFirstLine;
  if (request.max_parts != 0) options.max_parts = request.max_parts;
  options.save.durable = request.durable;
  PartStream stream(std::move(options), &handler);
  const std::string error =
      ReadBodyPieces(body_path, [&stream](std::span<const std::uint8_t> piece) { stream.Feed(piece); });
  if (!error.empty()) {
    std::cerr << "zmfile: cannot read " << (body_path == "-" ? "standard input" : body_path) << ": " << error << '\n';
    return kExitUsage;
  }
  const PartStreamOutcome outcome = stream.Finish(ParseConflictPolicy(Lower(request.conflict.value_or("error"))));
  if (outcome.status == PartStreamStatus::kFirstLineTooLong) {
    std::cerr << "zmfile: the body's first line is longer than " << kMaxFirstLine << " bytes\n";
    return kExitUsage;
  }
  int status = kExitOk;
  for (const PartOutcome& part : outcome.parts) {
    const PartInfo* info = part.index < handler.infos().size() ? &handler.infos()[part.index] : nullptr;
    const OperationResult& result = part.result;
    if (part.status == PartStatus::kDone && result.faulted()) {
      status = kExitFault;
    } else if (part.status == PartStatus::kLimitExceeded || part.status == PartStatus::kHeaderTooLong ||
               (part.status == PartStatus::kDone && result.code != 0)) {
      if (status == kExitOk) status = kExitErrorCode;
    }
    if (json) {
      std::cout << JsonLine(info, part).dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
      continue;
    }
    if (part.status == PartStatus::kSkipped) continue;
    std::cout << part.name << '\t';
    if (part.status != PartStatus::kDone) {
      std::cout << StatusName(part.status) << '\n';
    } else if (result.faulted()) {
      std::cout << "fault " << static_cast<int>(result.fault) << ": " << RuntimeErrorDescription(result.fault) << '\n';
    } else if (result.code != 0) {
      std::cout << "error " << result.code << ": " << result.text << '\n';
    } else {
      std::cout << result.text << '\n';
    }
  }
  if (outcome.status == PartStreamStatus::kTooManyParts) {
    std::cerr << "zmfile: more parts than " << (request.max_parts ? request.max_parts : kDefaultMaxParts)
              << "; the rest were not read\n";
    if (status == kExitOk) status = kExitErrorCode;
  }
  std::cout << std::flush;
  return status;
}

}  // namespace zimrax::zmfile
