// spill.h - bytes kept aside on disk while a pass goes on: in memory up to a limit, then in a
// temporary file that has no name (nothing is left behind, whatever ends the process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace report {

class Spill {
  public:
    Spill() = default;
    Spill(const Spill&) = delete;
    Spill& operator=(const Spill&) = delete;
    ~Spill();

    // Adds SIZE bytes at the end; returns where they start.
    std::uint64_t Append(const void* data, std::size_t size);
    // Writes SIZE bytes over those at AT, which were appended before.
    void Patch(std::uint64_t at, const void* data, std::size_t size);
    // Bytes appended so far.
    std::uint64_t Size() const { return written_ + buffer_.size(); }
    // Reads from the start again.
    void Rewind();
    // The next SIZE bytes into DATA; false when fewer are left.
    bool Read(void* data, std::size_t size);

  private:
    static constexpr std::size_t kInMemory = 1 << 20;
    void Flush();

    std::FILE* file_ = nullptr; // once the bytes outgrow kInMemory
    std::string buffer_;        // bytes after those in the file
    std::uint64_t written_ = 0; // bytes in the file
    std::uint64_t read_ = 0;    // where Read goes on
};

} // namespace report
