#include "server/hook_document.h"

#include <nlohmann/json.hpp>

namespace zimrax::zmfile {
namespace {

using Json = nlohmann::ordered_json;

Json Document(const char* hook, const HookSubject& subject) {
  Json document;
  document["Hook"] = hook;
  document["StoredName"] = subject.stored_name;
  document["ClientName"] = subject.client_name;
  document["Size"] = subject.size;
  document["MimeType"] = subject.mime_type;
  document["Sha256"] = subject.sha256;
  document["User"] = subject.user;
  document["ClientAddress"] = subject.client_address;
  Json fields = Json::object();
  for (const auto& [name, value] : subject.fields) {
    if (!fields.contains(name)) fields[name] = value;  // the first of a name, as the server reads it
  }
  document["Fields"] = std::move(fields);
  document["Conflict"] = subject.conflict;
  return document;
}

std::string Text(const Json& document) { return document.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace

std::string PreHookDocument(const HookSubject& subject) { return Text(Document("pre", subject)); }

std::string PostHookDocument(const HookSubject& subject, const HookOutcome& outcome) {
  Json document = Document("post", subject);
  document["Outcome"] = {
      {"ResultCode", outcome.result_code}, {"StoredName", outcome.stored_name}, {"Message", outcome.message}};
  return Text(document);
}

std::map<std::string, std::string> HookVariables(const char* hook, const HookSubject& subject) {
  return {{"ZMFILE_HOOK", hook},
          {"ZMFILE_STORED_NAME", subject.stored_name},
          {"ZMFILE_SIZE", std::to_string(subject.size)},
          {"ZMFILE_SHA256", subject.sha256},
          {"ZMFILE_USER", subject.user}};
}

}  // namespace zimrax::zmfile
