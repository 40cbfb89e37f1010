#include "server/answers.h"

#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace zimrax::zmfile {
namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string Escaped(const std::string& text) {
  // Through JSON's replacement first, so that the page shows U+FFFD for
  // bytes that are not UTF-8 rather than passing them on.
  const std::string clean = Dump(Json(text));
  return HtmlEscape(Json::parse(clean).get<std::string>());
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

std::string PercentEncoded(const std::string& name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

}  // namespace

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
  const bool has_code = !report.fault && !report.refusal &&
                        (report.error_code.Type() == VariantType::kInt16 ||
                         report.error_code.Type() == VariantType::kInt32);
  json["ErrorCode"] = has_code ? Json(report.error_code.ToInt32()) : Json(nullptr);
  json["Result"] = has_code && report.result.Type() == VariantType::kString ? Json(report.result.ToText())
                                                                             : Json(nullptr);
  json["Comment"] = report.comment;
  if (report.replaced) json["Replaced"] = true;
  if (report.fault) {
    json["Fault"] = {{"Number", report.fault->Number()}, {"Description", report.fault->Description()}};
  }
  if (report.refusal) json["Refused"] = report.refusal->message;
  return Dump(json);
}

std::string ListingJson(const Listing& listing) {
  Json files = Json::array();
  for (const StoredFile& file : listing.files) {
    files.push_back({{"name", file.name}, {"size", file.size}, {"modified", IsoTime(file.modified_ms)}});
  }
  return Dump(Json{{"files", files}, {"truncated", listing.truncated}});
}

std::string ConfigJson(std::uint64_t max_body, const std::string& conflict,
                       const std::vector<std::string>& client_conflict) {
  return Dump(Json{{"maxBody", max_body}, {"conflict", conflict}, {"clientConflict", client_conflict}});
}

std::string UploadHtml(const UploadReport& report, const Listing& listing) {
  const int status = HttpStatusOf(report);
  std::string outcome;
  if (status == 200) {
    outcome = "<div class=\"result ok\"><strong>Stored</strong> as <code>" + Escaped(report.result.ToText()) +
              "</code></div>";
  } else if (report.refusal) {
    outcome = "<div class=\"result error\"><strong>Refused</strong> " + Escaped(report.refusal->message) + "</div>";
  } else if (report.fault) {
    outcome = "<div class=\"result error\"><strong>Fault " + std::to_string(report.fault->Number()) + "</strong> " +
              Escaped(report.fault->Description()) + "</div>";
  } else {
    const std::string code = report.error_code.IsEmpty() ? "?" : report.error_code.ToText();
    const std::string message = report.result.Type() == VariantType::kString ? report.result.ToText() : "";
    outcome = "<div class=\"result error\"><strong>Error " + Escaped(code) + "</strong> " + Escaped(message) +
              "</div>";
  }
  if (!report.comment.empty()) outcome += "<p class=\"comment\">Comment: " + Escaped(report.comment) + "</p>";

  std::string rows;
  for (const StoredFile& file : listing.files) {
    rows += "<li><a href=\"/files/" + PercentEncoded(file.name) + "\">" + Escaped(file.name) +
            "</a><span class=\"meta\">" +
            SizeText(file.size) + " &middot; " + IsoTime(file.modified_ms) + "</span></li>";
  }
  if (rows.empty()) rows = "<li class=\"empty\">No files yet.</li>";

  return "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>Upload result</title><link rel=\"stylesheet\" href=\"/app.css\"></head>"
         "<body><main class=\"card\"><h1>Upload result</h1>" +
         outcome + "<p><a class=\"button\" href=\"/\">Upload another file</a></p><h2>Stored files</h2>"
                   "<ul class=\"files\">" +
         rows + "</ul></main></body></html>\n";
}

}  // namespace zimrax::zmfile
