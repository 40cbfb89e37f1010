#include "server/answers.h"

#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "server/api_messages.h"
#include "server/file_name_rules.h"
#include "server/listing_query.h"
#include "server/result_messages.h"

namespace zimrax::zmfile {
namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Through JSON's replacement first, so that the page shows U+FFFD for
// bytes that are not UTF-8 rather than passing them on.
std::string Escaped(const std::string& text) { return HtmlEscape(DisplayName(text)); }

// ErrorCode, Result, and what marks a fault, a refusal or an overwrite.
void AddOutcome(const FileReport& file, Json& json) {
  const bool has_code = file.HasCode();
  json["ErrorCode"] = has_code ? Json(file.outcome->code) : Json(nullptr);
  json["Result"] = has_code ? Json(file.outcome->text) : Json(nullptr);
}

void AddMarks(const FileReport& file, Json& json) {
  if (file.outcome && file.outcome->replaced) json["Replaced"] = true;
  if (file.Faulted()) {
    json["Fault"] = {{"Number", static_cast<int>(file.Fault())},
                     {"Description", std::string(RuntimeErrorDescription(file.Fault()))}};
  }
  if (file.refusal) {
    json["Refused"] = file.refusal->message;
    json["RefusedKind"] = RefusalKindName(file.refusal->kind);
  }
}

// The name a file was sent under, for the heading of its outcome.
std::string StoredName(const FileReport& file) { return std::string(StoredPartOfClientName(file.client_name)); }

std::string OutcomeHtml(const FileReport& file, const UploadReport& request) {
  const int status = HttpStatusOfFile(file);
  const std::string message = Escaped(PlainMessage(file, request));
  if (file.skipped) {
    return "<div class=\"result skipped\"><strong>Skipped</strong> <code>" + Escaped(file.field) +
           "</code><p class=\"message\">" + message + "</p></div>";
  }
  if (status == 200) {
    return "<div class=\"result ok\"><strong>Stored</strong> as <code>" + Escaped(file.outcome->text) +
           "</code><p class=\"message\">" + message + "</p></div>";
  }
  std::string label;
  if (file.refusal) {
    label = "Refused";
  } else if (file.Faulted()) {
    label = "Fault " + std::to_string(static_cast<int>(file.Fault()));
  } else {
    label = "Error " + (file.outcome ? std::to_string(file.outcome->code) : std::string("?"));
  }
  const std::string name = StoredName(file);
  return "<div class=\"result error\"><strong>" + Escaped(label) + "</strong>" +
         (name.empty() ? "" : " <code>" + Escaped(name) + "</code>") + "<p class=\"message\">" + message +
         "</p></div>";
}

std::string SizeText(std::uint64_t size) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB"};
  double value = static_cast<double>(size);
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

}  // namespace

std::string DisplayName(const std::string& raw) { return Json::parse(Dump(Json(raw))).get<std::string>(); }

std::string PercentEncoded(const std::string& raw) { return PercentEncodedKeeping(raw, "-_.~"); }

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UploadJson(const UploadReport& report) {
  Json json;
  AddOutcome(report, json);
  json["Comment"] = report.comment;
  AddMarks(report, json);
  json["Message"] = ApiMessage(report, report);
  if (!report.warning.empty()) json["Warning"] = report.warning;
  Json files = Json::array();
  for (const FileReport& file : report.files) {
    Json entry;
    entry["Field"] = file.field;
    AddOutcome(file, entry);
    entry["Message"] = ApiMessage(file, report);
    AddMarks(file, entry);
    if (file.skipped) entry["Skipped"] = true;
    if (file.facts && !file.facts->sha256.empty() && !NameStoredFor(file).empty()) {
      entry["Sha256"] = file.facts->sha256;
    }
    files.push_back(std::move(entry));
  }
  json["Files"] = std::move(files);
  return Dump(json);
}

std::string ListingJson(const Listing& listing) {
  Json files = Json::array();
  for (const StoredFile& file : listing.files) {
    const std::string name = DisplayName(file.name);
    files.push_back({{"name", name},
                     {"href", "files/" + PercentEncoded(file.name)},
                     {"size", file.size},
                     {"modified", IsoTime(file.modified_ms)},
                     {"utf8", name == file.name}});
  }
  return Dump(Json{{"files", files}, {"next", listing.next ? Json(EncodeCursor(*listing.next)) : Json(nullptr)}});
}

std::string ConfigJson(std::uint64_t max_body, const std::string& conflict,
                       const std::vector<std::string>& client_conflict, bool allow_delete) {
  return Dump(Json{{"maxBody", max_body},
                   {"conflict", conflict},
                   {"clientConflict", client_conflict},
                   {"delete", allow_delete}});
}

std::string UploadHtml(const UploadReport& report, const Listing& listing) {
  std::string outcome;
  if (report.files.empty()) {
    outcome = OutcomeHtml(report, report);
  } else {
    for (const FileReport& file : report.files) outcome += OutcomeHtml(file, report);
  }
  if (!report.comment.empty()) outcome += "<p class=\"comment\">Comment: " + Escaped(report.comment) + "</p>";

  std::string rows;
  for (const StoredFile& file : listing.files) {
    rows += "<li><a href=\"files/" + PercentEncoded(file.name) + "\">" + Escaped(file.name) +
            "</a><span class=\"meta\">" + SizeText(file.size) + " &middot; " + IsoTime(file.modified_ms) +
            "</span></li>";
  }
  if (rows.empty()) rows = "<li class=\"empty\">No files yet.</li>";
  if (listing.next) rows += "<li class=\"more\">Only the newest " + std::to_string(listing.files.size()) +
                            " are shown.</li>";

  return "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>Upload result</title><link rel=\"stylesheet\" href=\"app.css\"></head>"
         "<body><main class=\"card\"><h1>Upload result</h1>" +
         outcome + "<p><a class=\"button\" href=\"./\">Upload another file</a></p><h2>Stored files</h2>"
                   "<ul class=\"files\">" +
         rows + "</ul></main></body></html>\n";
}

}  // namespace zimrax::zmfile
