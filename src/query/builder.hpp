// src/query/builder.hpp: SQL statement text for QueryCompiler, Python-free.
// Names and fragments are copied verbatim; values only ever appear as
// placeholders, numbered from 1 per statement where the dialect numbers them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sablecrest::query {

// The text of one statement, appended in place. The buffer inside the object holds
// every ordinary statement (the builders' 256 and 128 bytes are well within it), so
// a statement costs no allocation; a longer one moves to the heap and grows the
// amortised way.
class Statement {
public:
    Statement() noexcept = default;
    ~Statement() {
        if (data_ != inline_) delete[] data_;
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void append(std::string_view s) {
        const std::size_t n = s.size();
        if (n > cap_ - size_) grow(n);
        char* d = data_ + size_;
        const char* p = s.data();
        // Names and keywords are short: fixed-size copies (two overlapping ones cover
        // every length from 4 to 16) instead of a call to memcpy.
        if (n >= 8 && n <= 16) {
            std::memcpy(d, p, 8);
            std::memcpy(d + n - 8, p + n - 8, 8);
        } else if (n >= 4 && n < 8) {
            std::memcpy(d, p, 4);
            std::memcpy(d + n - 4, p + n - 4, 4);
        } else if (n < 4) {
            for (std::size_t i = 0; i < n; ++i) d[i] = p[i];
        } else {
            std::memcpy(d, p, n);
        }
        size_ += n;
    }
    void push_back(char c) {
        if (size_ == cap_) grow(1);
        data_[size_++] = c;
    }
    Statement& operator+=(std::string_view s) {
        append(s);
        return *this;
    }
    Statement& operator+=(char c) {
        push_back(c);
        return *this;
    }
    // Room for n more bytes at end(); commit(k) then claims k <= n of them.
    char* reserve_tail(std::size_t n) {
        if (n > cap_ - size_) grow(n);
        return data_ + size_;
    }
    void commit(std::size_t k) noexcept { size_ += k; }

    void append_decimal(uint64_t value) {
        char buf[20];  // 18446744073709551615 has 20 digits
        char* p = buf + sizeof buf;
        do {
            *--p = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        append(std::string_view(p, static_cast<std::size_t>(buf + sizeof buf - p)));
    }

    std::string_view view() const noexcept { return {data_, size_}; }
    std::size_t size() const noexcept { return size_; }

private:
    static constexpr std::size_t kInline = 1024;
    void grow(std::size_t more);

    char* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t cap_ = kInline;
    char inline_[kInline];
};

// The placeholder style that a dialect text selects. The text is compared
// with ASCII case folding, exactly and untrimmed: only "mysql", "postgres"
// and "postgresql" are recognised, everything else is generic.
enum class PlaceholderStyle : uint8_t {
    generic,   // "?"
    mysql,     // "%s"
    postgres,  // "$" and the position
};

PlaceholderStyle classify_dialect(std::string_view dialect) noexcept;

// True when the dialect text contains "postgres" anywhere, in any letter
// case; decides INSERT's RETURNING clause, which is looser than the style.
bool dialect_mentions_postgres(std::string_view dialect) noexcept;

inline void append_placeholder(Statement& out, PlaceholderStyle style, uint64_t index) {
    switch (style) {
        case PlaceholderStyle::mysql:
            out += "%s";
            return;
        case PlaceholderStyle::postgres:
            if (index < 10) {  // most statements number fewer than ten values
                char* p = out.reserve_tail(2);
                p[0] = '$';
                p[1] = static_cast<char>('0' + index);
                out.commit(2);
                return;
            }
            out += '$';
            out.append_decimal(index);
            return;
        case PlaceholderStyle::generic:
            break;
    }
    out += '?';
}
std::string format_placeholder(std::string_view dialect, uint64_t index);

// Like QueryCompiler.compile_select: the statement text only. The parameters
// are the third items of `wheres`, in order; the caller collects them.
// `wheres` holds (column, operator, value), `joins` (kind, table, condition),
// `order_by` (column, direction).
void compile_select(Statement& out,
                    std::string_view table,
                    std::span<const std::string_view> columns,
                    std::span<const std::array<std::string_view, 3>> wheres,
                    std::span<const std::array<std::string_view, 3>> joins,
                    std::span<const std::array<std::string_view, 2>> order_by,
                    std::optional<uint64_t> limit,
                    std::optional<uint64_t> offset,
                    std::string_view dialect);

void compile_insert(Statement& out, std::string_view table,
                    std::span<const std::string_view> columns,
                    std::string_view dialect);

void compile_update(Statement& out, std::string_view table,
                    std::span<const std::string_view> columns,
                    std::string_view pk_col,
                    std::string_view dialect);

void compile_delete(Statement& out, std::string_view table, std::string_view pk_col,
                    std::string_view dialect);

}  // namespace sablecrest::query
