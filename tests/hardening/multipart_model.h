// A small reference model of what ZmFormFieldValue and ZmFileSave must do with
// a body, written as plain loops over std::string so that it can be read
// against the rules line by line. Tests and fuzz targets compare the
// component with it; it shares no code with the component.
#ifndef ZIMRAX_TESTS_HARDENING_MULTIPART_MODEL_H_
#define ZIMRAX_TESTS_HARDENING_MULTIPART_MODEL_H_

#include <cstdint>
#include <map>
#include <string>

namespace zimrax::model {

// A fault ends the call through the automation error channel.
inline constexpr int kNoFault = 0;
inline constexpr int kFaultOverflow = 6;
inline constexpr int kFaultSubscript = 9;

struct ScanResult {
  int fault = kNoFault;
  int code = 0;            // 0, 101 .. 105
  std::string value;       // ZmFormFieldValue: the value or the file name (code 0)
  std::string client_name; // ZmFileSave: the file name as sent (code 0)
  std::string data;        // ZmFileSave: the bytes to store (code 0)
};

// Index of the first occurrence of `pattern` in `body` at or after `start`,
// a match ending on the last byte included; 0 when there is none.
inline long long Find(const std::string& body, const std::string& pattern, long long start) {
  const long long n = static_cast<long long>(body.size());
  const long long m = static_cast<long long>(pattern.size());
  for (long long a = start; a + m <= n; ++a) {
    long long i = 0;
    while (i < m && body[a + i] == pattern[i]) ++i;
    if (i == m) return a;
  }
  return 0;
}

// The run body[start, start + length), or the one NUL byte that stands for
// an empty run.
inline std::string Run(const std::string& body, long long start, long long length) {
  if (length == 0) return std::string(1, '\0');
  return body.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length));
}

struct Located {
  int fault = kNoFault;
  int code = 0;
  long long name_end = 0;
};

inline std::string BoundaryLine(const std::string& body) {
  const long long line_break = Find(body, "\r\n", 0);
  return Run(body, 0, line_break);
}

inline Located Locate(const std::string& body, const std::string& wanted, const std::string& boundary) {
  const std::string disposition = "Content-Disposition: form-data; name=\"";
  long long search_start = 0;
  for (int pass = 0;; ++pass) {
    const long long p = Find(body, boundary, search_start);
    if (p == 0 && pass > 0) return {kNoFault, 101, 0};
    const long long d = Find(body, disposition, p + static_cast<long long>(boundary.size()));
    if (d == 0) return {kNoFault, 102, 0};
    const long long name_start = d + 38;
    const long long quote = Find(body, "\"", name_start);
    if (quote == 0) return {kFaultSubscript, 0, 0};
    const long long length = quote - name_start;
    const std::string name = length > 120 ? std::string("\"") : Run(body, name_start, length);
    if (name == wanted) return {kNoFault, 0, name_start + static_cast<long long>(name.size())};
    search_start = name_start;
  }
}

// Index of the file name's first byte, or 0 when the header line that holds
// `start` has no filename text (or has no end).
inline long long FilenameStart(const std::string& body, long long start) {
  const long long line_end = Find(body, "\r\n", start);
  if (line_end == 0) return 0;
  const long long f = Find(body, "filename=\"", start);
  if (f == 0 || f > line_end) return 0;
  return f + 10;
}

inline ScanResult FormFieldValue(const std::string& body, const std::string& wanted) {
  ScanResult r;
  const std::string boundary = BoundaryLine(body);
  const Located located = Locate(body, wanted, boundary);
  if (located.fault != kNoFault || located.code != 0) {
    r.fault = located.fault;
    r.code = located.code;
    return r;
  }
  const long long name_start = FilenameStart(body, located.name_end);
  if (name_start != 0) {
    const long long quote = Find(body, "\"", name_start);
    if (quote == 0) {
      r.fault = kFaultSubscript;
    } else if (quote == name_start) {
      r.code = 104;
    } else {
      r.value = body.substr(static_cast<std::size_t>(name_start), static_cast<std::size_t>(quote - name_start));
    }
    return r;
  }
  const long long blank = Find(body, "\r\n\r\n", located.name_end);
  if (blank == 0) {
    r.code = 105;
    return r;
  }
  const long long data_start = blank + 4;
  const long long next = Find(body, boundary, data_start);
  const long long data_end = next != 0 ? next - 2 : static_cast<long long>(body.size());
  for (long long i = data_start; i < data_end; ++i) r.value += body[i];
  return r;
}

// The scanning half of ZmFileSave: the client file name and the bytes to
// store, or the code / fault that ends the call before the file system.
inline ScanResult FileSaveScan(const std::string& body, const std::string& wanted) {
  ScanResult r;
  const std::string boundary = BoundaryLine(body);
  const Located located = Locate(body, wanted, boundary);
  if (located.fault != kNoFault || located.code != 0) {
    r.fault = located.fault;
    r.code = located.code;
    return r;
  }
  const long long name_start = FilenameStart(body, located.name_end);
  if (name_start == 0) {
    r.code = 103;
    return r;
  }
  const long long quote = Find(body, "\"", name_start);
  if (quote == 0) {
    r.fault = kFaultSubscript;
    return r;
  }
  if (quote == name_start) {
    r.code = 104;
    return r;
  }
  r.client_name = body.substr(static_cast<std::size_t>(name_start), static_cast<std::size_t>(quote - name_start));
  const long long blank = Find(body, "\r\n\r\n", quote);
  if (blank == 0) {
    r.code = 105;
    return r;
  }
  const long long data_start = blank + 4;
  const long long next = Find(body, boundary, data_start);
  const long long last = next != 0 ? next - 3 : static_cast<long long>(body.size()) - 1;
  for (long long i = data_start; i <= last; ++i) r.data += body[i];
  return r;
}

// What is in the destination directory, by name.
enum class Entry { kFile, kSymlink, kDirectory };
using Directory = std::map<std::string, Entry>;

// The longest name one directory entry may have.
inline constexpr std::size_t kNameMax = 255;

struct SaveResult {
  int fault = kNoFault;
  int code = 0;                // 0, 101 .. 106; see platform_error
  bool platform_error = false; // a file-system failure: code is the platform's number
  std::string stored_name;     // code 0: the name written
  std::string data;            // code 0: the file's bytes
};

// The last piece of the client file name split at every backslash and slash.
inline std::string StoredName(const std::string& client_name) {
  std::string piece;
  for (const char c : client_name) {
    if (c == '\\' || c == '/') {
      piece.clear();
    } else {
      piece += c;
    }
  }
  return piece;
}

inline bool IsBadStoredName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return true;
  for (const char c : name) {
    if (c == '\0') return true;
  }
  return false;
}

// The n-th "makeunique" candidate: base "(" n ")." extension, where the
// extension is what follows the last dot (none: empty) and the base what
// precedes it.
inline std::string NumberedName(const std::string& name, int n) {
  long long last_dot = -1;
  for (long long i = 0; i < static_cast<long long>(name.size()); ++i) {
    if (name[i] == '.') last_dot = i;
  }
  const std::string base = last_dot < 0 ? name : name.substr(0, static_cast<std::size_t>(last_dot));
  const std::string extension = last_dot < 0 ? "" : name.substr(static_cast<std::size_t>(last_dot) + 1);
  return base + "(" + std::to_string(n) + ")." + extension;
}

// ZmFileSave with `policy` (already lower-cased; "error" when omitted) into
// a directory that holds `existing`.
inline SaveResult FileSave(const std::string& body, const std::string& wanted, const std::string& policy,
                           const Directory& existing) {
  SaveResult r;
  const ScanResult scan = FileSaveScan(body, wanted);
  r.fault = scan.fault;
  r.code = scan.code;
  if (scan.fault != kNoFault || (scan.code != 0 && scan.code != 105)) return r;
  const std::string name = StoredName(scan.client_name);
  if (IsBadStoredName(name)) {
    r.code = 104;
    return r;
  }
  // "makeunique" settles on a name before the data is looked for.
  std::string chosen = name;
  const auto taken = [&existing](const std::string& candidate) { return existing.count(candidate) != 0; };
  if (policy == "makeunique" && taken(name)) {
    int n = 1;
    while (n <= 32767 && taken(NumberedName(name, n))) ++n;
    if (n > 32767) {
      r.fault = kFaultOverflow;
      return r;
    }
    chosen = NumberedName(name, n);
  }
  if (scan.code == 105) return r;
  if (taken(chosen) && policy != "overwrite") {
    r.code = 106;
    return r;
  }
  if (chosen.size() > kNameMax || (taken(chosen) && existing.at(chosen) == Entry::kDirectory)) {
    r.platform_error = true;
    return r;
  }
  r.stored_name = chosen;
  r.data = scan.data;
  return r;
}

}  // namespace zimrax::model

#endif  // ZIMRAX_TESTS_HARDENING_MULTIPART_MODEL_H_
