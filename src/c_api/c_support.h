// What the C entry points share: copying an OperationResult into storage
// the library owns, reading a zimrax_conflict number, and the catch-all that
// keeps every exception inside the library.
#ifndef ZIMRAX_C_API_C_SUPPORT_H_
#define ZIMRAX_C_API_C_SUPPORT_H_

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "zimrax/conflict_policy.h"
#include "zimrax/operation_result.h"
#include "zimrax/zimrax_c.h"

namespace zimrax::c_support {

// The bytes a zimrax_result points to. std::string keeps a NUL after its
// characters, which the header promises for `bytes`, `stored_name` and `field`.
struct ResultStorage {
  std::string text;
  std::string stored_name;
  std::string field;
};

// Points `result` at `storage`, which holds copies of the operation's texts.
inline void Fill(const zimrax::OperationResult& from, std::string_view field, zimrax_status status,
                 ResultStorage* storage, zimrax_result* result) {
  storage->text = from.text;
  storage->stored_name = from.stored_name;
  storage->field = std::string(field);
  *result = zimrax_result{};
  result->code = from.code;
  result->error_code_is_int32 = from.width == zimrax::ErrorCodeWidth::kInt32 ? 1 : 0;
  result->fault = static_cast<std::int32_t>(from.fault);
  result->platform_errno = from.platform_errno;
  result->bytes = reinterpret_cast<const std::uint8_t*>(storage->text.c_str());
  result->length = storage->text.size();
  result->stored_name = storage->stored_name.c_str();
  result->replaced = from.replaced ? 1 : 0;
  result->status = status;
  result->field = storage->field.c_str();
}

// The policy a zimrax_conflict number stands for; none for
// ZIMRAX_CONFLICT_UNSET. REQUIRES: KnownPolicy(policy).
inline std::optional<zimrax::ConflictPolicy> PolicyOf(int policy) {
  switch (policy) {
    case ZIMRAX_CONFLICT_ERROR:
      return zimrax::ConflictPolicy::kError;
    case ZIMRAX_CONFLICT_OVERWRITE:
      return zimrax::ConflictPolicy::kOverwrite;
    case ZIMRAX_CONFLICT_MAKEUNIQUE:
      return zimrax::ConflictPolicy::kMakeUnique;
    case ZIMRAX_CONFLICT_UNSET:
      break;
  }
  return std::nullopt;
}

inline bool KnownPolicy(int policy) { return policy >= ZIMRAX_CONFLICT_UNSET && policy <= ZIMRAX_CONFLICT_MAKEUNIQUE; }

inline std::span<const std::uint8_t> BytesOf(const std::uint8_t* data, std::size_t length) {
  return length == 0 ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(data, length);
}

// Runs `call`, turning any exception into a zimrax_call value.
template <typename Call>
zimrax_call Guarded(Call&& call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return ZIMRAX_CALL_NO_MEMORY;
  } catch (...) {
    return ZIMRAX_CALL_FAILED;
  }
}

}  // namespace zimrax::c_support

#endif  // ZIMRAX_C_API_C_SUPPORT_H_
