// SPDX-License-Identifier: MIT
// Result type, error codes and the byte source shared by the metadata parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>

namespace mio::formats {

enum class Error : uint8_t {
    None,
    NotRecognised, // the bytes are not of the expected format at all
    Truncated,     // the data ends before a structure it announces
    OutOfBounds,   // an offset or length points outside the data
    Loop,          // a structure refers back to itself
    TooMany,       // a count exceeds the parser's cap
    Malformed,     // a field holds a value the format does not allow
    TooLarge,      // a value does not fit where it has to go
    NotFound,      // the requested item is absent
    XmpFailure,    // the XMP toolkit refused the packet or the operation
    OutOfMemory,
};

const char* errorText(Error error) noexcept;

// A value or the reason there is none. Parsers return it instead of throwing.
template <class T> class [[nodiscard]] Result {
  public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Error error) : m_error(error) {}

    bool ok() const noexcept { return m_value.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    Error error() const noexcept { return m_error; }
    T& value() & { return *m_value; }
    const T& value() const& { return *m_value; }
    // On a temporary, hand the value out by value so `for (auto& x : *parse(...))` is safe.
    T value() && { return std::move(*m_value); }
    T* operator->() { return &*m_value; }
    const T* operator->() const { return &*m_value; }
    T& operator*() & { return *m_value; }
    const T& operator*() const& { return *m_value; }
    T operator*() && { return std::move(*m_value); }

  private:
    std::optional<T> m_value;
    Error m_error = Error::None;
};

enum class ByteOrder : uint8_t { LittleEndian, BigEndian };

// Random access to file bytes: either a buffer in memory or a read callback, so a caller can
// parse the head of a large file without loading it. The callback returns the number of bytes
// it placed in `out` (fewer at the end of the file).
class ByteSource {
  public:
    using ReadFn = std::function<size_t(uint64_t offset, std::span<uint8_t> out)>;

    explicit ByteSource(std::span<const uint8_t> bytes) : m_bytes(bytes), m_inMemory(true) {}
    explicit ByteSource(ReadFn read) : m_read(std::move(read)) {}

    // Fills `out` completely from `offset`; false when the data ends first.
    [[nodiscard]] bool read(uint64_t offset, std::span<uint8_t> out) const;

    // Like read, but returns how many bytes were available (at most out.size()).
    size_t readSome(uint64_t offset, std::span<uint8_t> out) const;

    // The whole buffer when the source is in memory, else empty.
    std::span<const uint8_t> memory() const { return m_bytes; }
    bool inMemory() const { return m_inMemory; }

  private:
    std::span<const uint8_t> m_bytes;
    ReadFn m_read;
    bool m_inMemory = false;
};

} // namespace mio::formats
