// SPDX-License-Identifier: MIT
// Running programs, a small JSON reader and libpng read-back for the tool's suites.
#include "cli_support.h"

#include <png.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace clitest {

namespace {

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

class JsonReader {
  public:
    explicit JsonReader(const std::string& text) : m_text(text) {}

    std::optional<Json> document()
    {
        auto value = parseValue(0);
        skipSpace();
        if (!value || m_at != m_text.size()) return std::nullopt;
        return value;
    }

  private:
    void skipSpace()
    {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\n' ||
                                        m_text[m_at] == '\r' || m_text[m_at] == '\t'))
            ++m_at;
    }

    bool literal(const char* word)
    {
        const std::string w(word);
        if (m_text.compare(m_at, w.size(), w) != 0) return false;
        m_at += w.size();
        return true;
    }

    static void appendUtf8(std::string& out, uint32_t cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool hex4(uint32_t& value)
    {
        if (m_at + 4 > m_text.size()) return false;
        value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = m_text[m_at++];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= static_cast<uint32_t>(c - 'A' + 10);
            else
                return false;
        }
        return true;
    }

    std::optional<std::string> parseString()
    {
        if (m_at >= m_text.size() || m_text[m_at] != '"') return std::nullopt;
        ++m_at;
        std::string out;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_at >= m_text.size()) return std::nullopt;
            const char e = m_text[m_at++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                uint32_t cp = 0;
                if (!hex4(cp)) return std::nullopt;
                if (cp >= 0xD800 && cp < 0xDC00) {
                    uint32_t low = 0;
                    if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
                        return std::nullopt;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUtf8(out, cp);
                break;
            }
            default:
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::optional<Json> parseValue(int depth)
    {
        if (depth > 64) return std::nullopt;
        skipSpace();
        if (m_at >= m_text.size()) return std::nullopt;
        Json value;
        const char c = m_text[m_at];
        if (c == '{') {
            ++m_at;
            value.type = Json::Type::Object;
            skipSpace();
            if (m_at < m_text.size() && m_text[m_at] == '}') {
                ++m_at;
                return value;
            }
            for (;;) {
                skipSpace();
                auto key = parseString();
                skipSpace();
                if (!key || m_at >= m_text.size() || m_text[m_at++] != ':') return std::nullopt;
                auto member = parseValue(depth + 1);
                if (!member) return std::nullopt;
                value.members.push_back({std::move(*key), std::move(*member)});
                skipSpace();
                if (m_at >= m_text.size()) return std::nullopt;
                const char next = m_text[m_at++];
                if (next == '}') return value;
                if (next != ',') return std::nullopt;
            }
        }
        if (c == '[') {
            ++m_at;
            value.type = Json::Type::Array;
            skipSpace();
            if (m_at < m_text.size() && m_text[m_at] == ']') {
                ++m_at;
                return value;
            }
            for (;;) {
                auto item = parseValue(depth + 1);
                if (!item) return std::nullopt;
                value.items.push_back(std::move(*item));
                skipSpace();
                if (m_at >= m_text.size()) return std::nullopt;
                const char next = m_text[m_at++];
                if (next == ']') return value;
                if (next != ',') return std::nullopt;
            }
        }
        if (c == '"') {
            auto text = parseString();
            if (!text) return std::nullopt;
            value.type = Json::Type::String;
            value.text = std::move(*text);
            return value;
        }
        if (literal("true") || literal("false")) {
            value.type = Json::Type::Bool;
            value.boolean = m_text[m_at - 1] == 'e' && m_text[m_at - 2] == 'u';
            return value;
        }
        if (literal("null")) return value;
        // Numbers: the JSON grammar, checked before strtod reads them.
        const size_t start = m_at;
        if (m_text[m_at] == '-') ++m_at;
        const size_t digits = m_at;
        while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at])))
            ++m_at;
        if (m_at == digits || (m_text[digits] == '0' && m_at - digits > 1)) return std::nullopt;
        if (m_at < m_text.size() && m_text[m_at] == '.') {
            const size_t fraction = ++m_at;
            while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at])))
                ++m_at;
            if (m_at == fraction) return std::nullopt;
        }
        if (m_at < m_text.size() && (m_text[m_at] == 'e' || m_text[m_at] == 'E')) {
            ++m_at;
            if (m_at < m_text.size() && (m_text[m_at] == '+' || m_text[m_at] == '-')) ++m_at;
            const size_t exponent = m_at;
            while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at])))
                ++m_at;
            if (m_at == exponent) return std::nullopt;
        }
        value.type = Json::Type::Number;
        value.number = std::strtod(m_text.substr(start, m_at - start).c_str(), nullptr);
        return value;
    }

    const std::string& m_text;
    size_t m_at = 0;
};

const Json& nullJson()
{
    static const Json none;
    return none;
}

} // namespace

std::string shellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

ToolRun runProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::string& env)
{
    support::TempDir dir;
    std::string command = env + " " + shellQuote(program);
    for (const auto& arg : args)
        command += " " + shellQuote(arg);
    command += " </dev/null >" + shellQuote((dir / "out").string()) + " 2>" +
               shellQuote((dir / "err").string());
    ToolRun run;
    int status = std::system(command.c_str());
    // The shell's 126 means the program could not be executed at all (seen while the build
    // tree was being touched by a concurrent build); that is not the program's answer.
    for (int attempt = 0; attempt < 5 && WIFEXITED(status) && WEXITSTATUS(status) == 126;
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        status = std::system(command.c_str());
    }
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = slurp(dir / "out");
    run.err = slurp(dir / "err");
    return run;
}

ToolRun mediaio(const std::vector<std::string>& args, const std::string& env)
{
    return runProgram(MIO_MEDIAIO_EXE, args, env);
}

bool havePath(const std::string& program)
{
    return std::system(("command -v " + shellQuote(program) + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

const Json& Json::operator[](const std::string& key) const
{
    for (const auto& [name, value] : members)
        if (name == key) return value;
    return nullJson();
}

const Json& Json::operator[](size_t index) const
{
    return index < items.size() ? items[index] : nullJson();
}

bool Json::has(const std::string& key) const
{
    for (const auto& member : members)
        if (member.key == key) return true;
    return false;
}

double Json::asNumber() const
{
    if (type == Type::Number) return number;
    if (type == Type::String && !text.empty()) {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (*end == '\0') return value;
    }
    return std::nan("");
}

std::optional<Json> parseJson(const std::string& text)
{
    return JsonReader(text).document();
}

namespace {

// The libpng part alone: its setjmp frame holds no object with a destructor, so a longjmp
// out of libpng skips nothing that needs cleaning up.
bool decodePng(FILE* file, PngInfo* info)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop pinfo = png_create_info_struct(png);
    if (!pinfo || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &pinfo, nullptr);
        return false;
    }
    png_init_io(png, file);
    png_read_png(png, pinfo, PNG_TRANSFORM_IDENTITY, nullptr);
    info->width = png_get_image_width(png, pinfo);
    info->height = png_get_image_height(png, pinfo);
    info->colorType = png_get_color_type(png, pinfo);
    info->channels = png_get_channels(png, pinfo);
    const size_t rowBytes = png_get_rowbytes(png, pinfo);
    png_bytepp rows = png_get_rows(png, pinfo);
    for (uint32_t y = 0; rows && y < info->height; ++y)
        info->rows.emplace_back(rows[y], rows[y] + rowBytes);
    png_textp texts = nullptr;
    int count = 0;
    png_get_text(png, pinfo, &texts, &count);
    for (int i = 0; i < count; ++i)
        info->texts.emplace_back(texts[i].key, texts[i].text);
    png_destroy_read_struct(&png, &pinfo, nullptr);
    return true;
}

} // namespace

PngInfo readPng(const fs::path& path)
{
    PngInfo info;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return info;
    const bool ok = decodePng(file, &info);
    std::fclose(file);
    if (!ok) return PngInfo{};
    info.ok = true;
    return info;
}

std::string textOf(const PngInfo& info, const std::string& key)
{
    for (const auto& [k, v] : info.texts)
        if (k == key) return v;
    return "<absent>";
}

fs::path makeSample(const support::TempDir& dir, const std::string& name)
{
    const fs::path path = dir / name;
    const ToolRun run = mediaio({"sample", path.string()});
    EXPECT_EQ(run.code, 0) << run.err;
    return path;
}

} // namespace clitest
