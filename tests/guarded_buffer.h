// Test helper: bytes placed so that their last byte is the last readable
// byte before an inaccessible page. Any read past the end faults at once
// (SIGSEGV), in every build, with or without a sanitizer.
#ifndef ZIMRAX_TESTS_GUARDED_BUFFER_H_
#define ZIMRAX_TESTS_GUARDED_BUFFER_H_

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace zimrax::testing {

class GuardedBuffer {
 public:
  // Copies `bytes` to the end of a fresh mapping whose next page is
  // PROT_NONE. Aborts when the mapping cannot be made.
  explicit GuardedBuffer(std::span<const std::uint8_t> bytes) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t data_pages = (bytes.size() + page - 1) / page;
    mapping_size_ = (data_pages + 1) * page;
    void* base = ::mmap(nullptr, mapping_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) std::abort();
    mapping_ = static_cast<std::uint8_t*>(base);
    std::uint8_t* guard = mapping_ + data_pages * page;
    if (::mprotect(guard, page, PROT_NONE) != 0) std::abort();
    data_ = guard - bytes.size();
    if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    size_ = bytes.size();
  }
  explicit GuardedBuffer(std::string_view text)
      : GuardedBuffer(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) {}

  ~GuardedBuffer() { ::munmap(mapping_, mapping_size_); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // The placed bytes; data() + size() is the first byte of the guard page.
  std::span<const std::uint8_t> Bytes() const { return {data_, size_}; }

 private:
  std::uint8_t* mapping_ = nullptr;
  std::size_t mapping_size_ = 0;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Calls check(bytes, placement_name) twice with the same content: once in an
// ordinary heap vector and once right before a guard page.
template <typename Check>
void ForEachPlacement(std::string_view text, Check check) {
  const std::vector<std::uint8_t> heap(text.begin(), text.end());
  check(std::span<const std::uint8_t>(heap), "heap");
  const GuardedBuffer guarded(text);
  check(guarded.Bytes(), "guarded");
}

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_GUARDED_BUFFER_H_
