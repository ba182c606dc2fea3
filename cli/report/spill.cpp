// spill.cpp - bytes kept aside: in memory, then in an unnamed temporary file.
#include "spill.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace report {

Spill::~Spill() {
    if (file_ != nullptr)
        std::fclose(file_);
}

// Moves the bytes in memory to the file, making the file the first time.
void Spill::Flush() {
    if (buffer_.empty())
        return;
    if (file_ == nullptr) {
        file_ = std::tmpfile();
        if (file_ == nullptr)
            throw std::runtime_error(std::string("cannot make a temporary file: ") +
                                     std::strerror(errno));
    }
    if (std::fseek(file_, 0, SEEK_END) != 0 ||
        std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
        throw std::runtime_error(std::string("cannot write a temporary file: ") +
                                 std::strerror(errno));
    written_ += buffer_.size();
    buffer_.clear();
}

// Adds the bytes in memory, moving them to the file when there are too many.
std::uint64_t Spill::Append(const void* data, std::size_t size) {
    std::uint64_t at = Size();
    buffer_.append(static_cast<const char*>(data), size);
    if (buffer_.size() >= kInMemory)
        Flush();
    return at;
}

// Overwrites bytes in memory or in the file, wherever they are now.
void Spill::Patch(std::uint64_t at, const void* data, std::size_t size) {
    if (at >= written_) {
        std::memcpy(&buffer_[at - written_], data, size);
        return;
    }
    if (std::fflush(file_) != 0 ||
        pwrite(fileno(file_), data, size, static_cast<off_t>(at)) != static_cast<ssize_t>(size))
        throw std::runtime_error(std::string("cannot write a temporary file: ") +
                                 std::strerror(errno));
}

// Puts every byte in the file (if there is one) and starts reading at the first.
void Spill::Rewind() {
    if (file_ != nullptr) {
        Flush();
        std::fflush(file_);
        std::fseek(file_, 0, SEEK_SET);
    }
    read_ = 0;
}

// From the file while it lasts, else from memory.
bool Spill::Read(void* data, std::size_t size) {
    if (read_ + size > Size())
        return false;
    if (file_ != nullptr) {
        if (std::fread(data, 1, size, file_) != size)
            throw std::runtime_error("cannot read a temporary file");
    } else {
        std::memcpy(data, buffer_.data() + read_, size);
    }
    read_ += size;
    return true;
}

} // namespace report
