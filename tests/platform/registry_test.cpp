// SPDX-License-Identifier: MIT
// Registry over text hives: values of every type, the HKCR merge, files shared between
// processes, failures that leave nothing behind, and the .rgs registrar.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tavrel/platform/registry.h"

namespace {

std::string readText(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Registry : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::filesystem::create_directories(m_dir / "machine");
        std::filesystem::create_directories(m_dir / "user");
        TavrelSetRegistryRoot((m_dir / "machine").c_str(), (m_dir / "user").c_str());
    }
    // Forget everything in memory, so the next call reads the files again.
    void reload() { TavrelSetRegistryRoot((m_dir / "machine").c_str(), (m_dir / "user").c_str()); }
    std::filesystem::path machineFile() const { return m_dir / "machine" / "machine.reg"; }
    std::filesystem::path userFile() const { return m_dir / "user" / "user.reg"; }

    HKEY create(HKEY root, const char16_t* path)
    {
        HKEY k = nullptr;
        DWORD disposition = 0;
        EXPECT_EQ(
            RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disposition),
            ERROR_SUCCESS);
        return k;
    }
    std::u16string queryString(HKEY key, const char16_t* name)
    {
        WCHAR buf[256];
        DWORD size = sizeof buf, type = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) !=
            ERROR_SUCCESS)
            return u"<missing>";
        return std::u16string(buf, size / 2 - 1);
    }
    void setString(HKEY key, const char16_t* name, const std::u16string& text)
    {
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * 2)),
                  ERROR_SUCCESS);
    }

    support::TempDir m_dir;
};

// A registration script in the shape the server's scripts take, with every value kind.
const char16_t kScript[] = uR"(
HKCR
{
    NoRemove CLSID
    {
        ForceRemove {6F1B7F5A-33C1-4E55-9C42-0D3C8E6A5B10} = s 'Probe Class'
        {
            ProgID = s 'Tavrel.Probe.1'
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
            Programmable
            'With Space' = s 'it''s quoted'
        }
    }
    Tavrel.Probe.1 = s 'Probe Class'
    {
        CLSID = s '{6F1B7F5A-33C1-4E55-9C42-0D3C8E6A5B10}'
        val Flags = d '0x10'
        val Bits = b '0aFF'
    }
}
)";

struct TypedValue {
    const char16_t* name;
    DWORD type;
    std::vector<BYTE> data;
};

std::vector<BYTE> wideBytes(const std::u16string& s)
{
    std::vector<BYTE> out(s.size() * 2);
    std::memcpy(out.data(), s.data(), out.size());
    return out;
}

TEST_F(Registry, EveryValueTypeSurvivesTheHiveFileExactly)
{
    std::vector<BYTE> longBinary(300);
    for (size_t i = 0; i < longBinary.size(); ++i)
        longBinary[i] = static_cast<BYTE>(i);
    const std::vector<TypedValue> values = {
        {u"Text", REG_SZ, wideBytes(std::u16string(u"C:\\path \"quoted\" \u00e9\u4e2d") + u'\0')},
        {u"", REG_SZ, wideBytes(std::u16string(u"default") + u'\0')},
        {u"Lines", REG_SZ, wideBytes(std::u16string(u"a\r\nb") + u'\0')},
        {u"NoTerminator", REG_SZ, wideBytes(u"raw")},
        {u"Expand", REG_EXPAND_SZ, wideBytes(std::u16string(u"%HOME%\\x") + u'\0')},
        {u"Multi", REG_MULTI_SZ, wideBytes(std::u16string(u"one\0two\0\0", 9))},
        {u"Count", REG_DWORD, {0x2a, 0, 0, 0}},
        {u"Big", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"Blob", REG_BINARY, longBinary},
        {u"Empty", REG_BINARY, {}},
        {u"Odd", 0x20, {9}},
    };
    HKEY k = create(HKEY_LOCAL_MACHINE, u"Software\\Tavrel\\Types");
    for (const auto& v : values)
        ASSERT_EQ(
            RegSetValueExW(k, v.name, 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())),
            ERROR_SUCCESS);
    RegCloseKey(k);

    const std::string text = readText(machineFile());
    EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Tavrel\\Types]\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"Count\"=dword:0000002a\r\n"), std::string::npos);
    EXPECT_NE(text.find("@=\"default\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"Text\"=\"C:\\\\path \\\"quoted\\\" \xc3\xa9\xe4\xb8\xad\"\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("\"Big\"=hex(b):01,02,03,04,05,06,07,08\r\n"), std::string::npos);

    reload();
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Tavrel\\Types", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    for (const auto& v : values) {
        std::vector<BYTE> buf(400);
        DWORD size = static_cast<DWORD>(buf.size()), type = 0;
        ASSERT_EQ(RegQueryValueExW(k, v.name, nullptr, &type, buf.data(), &size), ERROR_SUCCESS)
            << support::u8(v.name);
        EXPECT_EQ(type, v.type) << support::u8(v.name);
        buf.resize(size);
        EXPECT_EQ(buf, v.data) << support::u8(v.name);
    }
    RegCloseKey(k);
}

TEST_F(Registry, QueryReportsSizesAndShortBuffers)
{
    HKEY k = create(HKEY_CURRENT_USER, u"Software\\Q");
    setString(k, u"Name", u"hello");
    DWORD size = 0, type = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(type, REG_SZ);
    BYTE small[4];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(k, u"Name", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(RegQueryValueExW(k, u"Name", nullptr, nullptr, small, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(k, u"Absent", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    HKEY missing = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Nope", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    RegCloseKey(k);
    EXPECT_EQ(RegQueryValueExW(k, u"Name", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, NamesMatchWithoutCaseAndKeepTheirSpelling)
{
    HKEY k = create(HKEY_LOCAL_MACHINE, u"Software\\MixedCase\\Ünïcode");
    DWORD disposition = 0;
    HKEY again = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\mixedcase\\ÜNÏCODE", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    setString(k, u"ThreadingModel", u"Both");
    setString(again, u"THREADINGMODEL", u"Apartment"); // same value, replaced
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\MIXEDCASE", 0, KEY_READ, &parent),
              ERROR_SUCCESS);
    WCHAR name[64];
    DWORD cch = 64;
    ASSERT_EQ(RegEnumKeyExW(parent, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"Ünïcode");
    cch = 64;
    ASSERT_EQ(RegEnumValueW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"ThreadingModel");
    EXPECT_EQ(queryString(k, u"threadingmodel"), u"Apartment");
    for (HKEY h : {k, again, parent})
        RegCloseKey(h);
}

TEST_F(Registry, EnumerationOrderEndAndShortBuffers)
{
    HKEY k = create(HKEY_USERS, u".DEFAULT\\Enum");
    for (const char16_t* sub : {u"beta", u"Alpha", u"gamma"})
        RegCloseKey(create(k, sub));
    setString(k, u"z", u"1");
    setString(k, u"a", u"2");
    std::vector<std::u16string> keys;
    for (DWORD i = 0;; ++i) {
        WCHAR name[16];
        DWORD cch = 16;
        LSTATUS s = RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (s == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS)) break;
        ASSERT_EQ(s, ERROR_SUCCESS);
        keys.emplace_back(name, cch);
    }
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma"}));
    WCHAR tiny[5];
    DWORD cch = 5; // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExW(k, 0, tiny, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    WCHAR name[8];
    BYTE data[2];
    DWORD type = 0, cb = sizeof data;
    cch = 8;
    // Values keep the order they were written in; the data of "z" needs 4 bytes.
    EXPECT_EQ(RegEnumValueW(k, 0, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 4u);
    cch = 8;
    cb = 0;
    ASSERT_EQ(RegEnumValueW(k, 1, name, &cch, nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"a");
    EXPECT_EQ(cb, 4u);
    cch = 8;
    EXPECT_EQ(RegEnumValueW(k, 2, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(k);
}

TEST_F(Registry, DeletingKeysValuesAndTrees)
{
    HKEY k = create(HKEY_LOCAL_MACHINE, u"Software\\Del");
    RegCloseKey(create(k, u"Child\\Grandchild"));
    setString(k, u"v", u"x");
    EXPECT_EQ(RegDeleteKeyW(k, u"Child"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(k, u"Child\\Grandchild"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(k, u"Child\\Grandchild"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(create(k, u"Child\\Again"));
    EXPECT_EQ(RegDeleteTreeW(k, u"child"), ERROR_SUCCESS);
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExW(k, u"Child", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(k, u"V"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(k, u"v"), ERROR_FILE_NOT_FOUND);

    HKEY stale = create(k, u"Stale");
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\Del"), ERROR_SUCCESS);
    BYTE one = 1;
    EXPECT_EQ(RegSetValueExW(stale, u"x", 0, REG_BINARY, &one, 1), ERROR_KEY_DELETED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(stale, u"y", 0, nullptr, 0, 0, nullptr, &sub, nullptr),
              ERROR_KEY_DELETED);
    RegCloseKey(stale);
    RegCloseKey(k);
    reload();
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Del", 0, KEY_READ, &gone),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ClassesRootPrefersTheUserHiveAndWritesWhereTheKeyLives)
{
    HKEY m = create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Shared");
    setString(m, nullptr, u"machine");
    setString(m, u"OnlyMachine", u"m");
    HKEY u = create(HKEY_CURRENT_USER, u"Software\\Classes\\Shared");
    setString(u, nullptr, u"user");
    HKEY cr = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"shared", 0, KEY_READ, &cr), ERROR_SUCCESS);
    EXPECT_EQ(queryString(cr, nullptr), u"user");
    EXPECT_EQ(queryString(cr, u"OnlyMachine"), u"m");
    // The key exists in the user hive, so a write through HKCR lands there.
    setString(cr, u"Written", u"w");
    EXPECT_EQ(queryString(u, u"Written"), u"w");
    EXPECT_EQ(queryString(m, u"Written"), u"<missing>");
    // New keys go to the machine hive, even below a key the user hive holds.
    HKEY below = create(cr, u"NewSub");
    HKEY inMachine = nullptr;
    EXPECT_EQ(RegOpenKeyExW(m, u"NewSub", 0, KEY_READ, &inMachine), ERROR_SUCCESS);
    RegCloseKey(inMachine);
    RegCloseKey(below);
    // A brand-new class goes to the machine hive.
    HKEY fresh = create(HKEY_CLASSES_ROOT, u"CLSID\\{00000000-0000-0000-0000-000000000001}");
    setString(fresh, nullptr, u"new");
    HKEY check = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            u"Software\\Classes\\CLSID\\{00000000-0000-0000-0000-000000000001}", 0,
                            KEY_READ, &check),
              ERROR_SUCCESS);
    EXPECT_EQ(queryString(check, nullptr), u"new");
    EXPECT_EQ(readText(userFile()).find("CLSID"), std::string::npos);
    for (HKEY h : {m, u, cr, fresh, check})
        RegCloseKey(h);
}

TEST_F(Registry, ReadsHandWrittenFilesAndNoticesChangesOnDisk)
{
    HKEY k = create(HKEY_LOCAL_MACHINE, u"Software\\Seen");
    setString(k, u"before", u"1");
    std::ofstream(machineFile(), std::ios::binary)
        << "REGEDIT4\r\n\r\n; a comment\r\n"
           "[HKEY_CLASSES_ROOT\\Ext.File]\r\n@=\"from file\"\r\n"
           "\"List\"=hex(7):61,00,62,00,\\\r\n  00\r\n"
           "\"Bad\"=hex:zz\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Seen]\r\n\"after\"=dword:00000007\r\n"
           "[-HKEY_LOCAL_MACHINE\\Software\\Gone]\r\n"
           "[HKEY_NOWHERE\\Ignored]\r\n\"x\"=\"y\"\r\n";
    // The handle opened before the change sees the new file contents.
    DWORD v = 0, size = 4;
    ASSERT_EQ(RegQueryValueExW(k, u"after", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(queryString(k, u"before"), u"<missing>");
    HKEY ext = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Ext.File", 0, KEY_READ, &ext), ERROR_SUCCESS);
    EXPECT_EQ(queryString(ext, nullptr), u"from file");
    BYTE list[16];
    size = sizeof list;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExW(ext, u"List", nullptr, &type, list, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(size, 10u); // the five UTF-8 bytes "a\0b\0\0" as UTF-16
    EXPECT_EQ(RegQueryValueExW(ext, u"Bad", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(ext);
    RegCloseKey(k);
}

TEST_F(Registry, DamagedHiveYieldsNothingRatherThanCrashing)
{
    std::string junk(5000, '\0');
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>(i * 131 + 7);
    junk += "\n[HKEY_LOCAL_MACHINE\n\"a\"=hex(ffffffffff):00\n[]\n[-]\n\"q\"=\"unterminated\n";
    std::ofstream(machineFile(), std::ios::binary) << junk;
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
    // Still writable afterwards.
    RegCloseKey(create(HKEY_LOCAL_MACHINE, u"Software\\Fresh"));
    EXPECT_NE(readText(machineFile()).find("[HKEY_LOCAL_MACHINE\\Software\\Fresh]"),
              std::string::npos);
}

TEST_F(Registry, NeverWritesOverAHiveItCouldNotRead)
{
    // A sparse file too large to be a hive: refused for reading, so it must not be replaced.
    {
        std::ofstream(machineFile(), std::ios::binary) << "REGEDIT4\r\n";
    }
    std::filesystem::resize_file(machineFile(), 65u << 20);
    HKEY k = nullptr;
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\X", 0, nullptr, 0, 0, nullptr, &k, nullptr),
        static_cast<LSTATUS>(ERROR_REGISTRY_IO_FAILED));
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(std::filesystem::file_size(machineFile()), 65u << 20);
    // The user hive is independent and still works.
    RegCloseKey(create(HKEY_CURRENT_USER, u"Software\\Y"));

    std::filesystem::remove(machineFile());
    std::filesystem::create_directory(machineFile()); // not a file at all
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\X", 0, nullptr, 0, 0, nullptr, &k, nullptr),
        static_cast<LSTATUS>(ERROR_REGISTRY_IO_FAILED));
    EXPECT_TRUE(std::filesystem::is_directory(machineFile()));
}

TEST_F(Registry, MutatedHivesAndScriptsFailCleanly)
{
    const std::string hive = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\M]\r\n@=\"v\"\r\n"
                             "\"D\"=dword:00000001\r\n\"H\"=hex(7):61,00,\\\r\n  62,00,00\r\n"
                             "[-HKEY_LOCAL_MACHINE\\Software\\M\\X]\r\n";
    const std::u16string script = kScript;
    uint32_t seed = 12345;
    auto rnd = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int round = 0; round < 300; ++round) {
        std::string h = hive;
        std::u16string sc = script;
        for (int edits = 1 + static_cast<int>(rnd() % 4); edits > 0; --edits) {
            h[rnd() % h.size()] = static_cast<char>(rnd());
            sc[rnd() % sc.size()] = static_cast<char16_t>(u"{}='%\\ sdbx\n"[rnd() % 13]);
        }
        std::ofstream(machineFile(), std::ios::binary | std::ios::trunc) << h;
        reload();
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\M", 0, KEY_READ, &k) == ERROR_SUCCESS) {
            WCHAR name[300];
            BYTE data[64];
            for (DWORD i = 0; i < 8; ++i) {
                DWORD cch = 300, cb = sizeof data;
                RegEnumValueW(k, i, name, &cch, nullptr, nullptr, data, &cb);
            }
            RegCloseKey(k);
        }
        // Unregistering against an unrelated hive writes nothing, so each round is quick.
        const WCHAR* pairs[] = {u"MODULE", u"/m.so", nullptr};
        const HRESULT hr = TavrelRegistrarApply(nullptr, sc.c_str(), pairs, FALSE);
        EXPECT_TRUE(hr == S_OK || hr == DISP_E_EXCEPTION || HRESULT_FACILITY(hr) == FACILITY_WIN32)
            << std::hex << hr;
    }
}

TEST_F(Registry, RefusesNamesAndDataTheHiveCannotHold)
{
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\\\Double", 0, nullptr, 0, 0, nullptr,
                              &k, nullptr),
              ERROR_BAD_PATHNAME);
    std::u16string longName(256, u'x');
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, longName.c_str(), 0, nullptr, 0, 0, nullptr, &k,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Bad\nName", 0, nullptr, 0, 0, nullptr, &k, nullptr),
        ERROR_INVALID_NAME);
    EXPECT_EQ(RegCreateKeyExW(reinterpret_cast<HKEY>(uintptr_t{0x1234}), u"x", 0, nullptr, 0, 0,
                              nullptr, &k, nullptr),
              ERROR_INVALID_HANDLE);
    k = create(HKEY_LOCAL_MACHINE, u"Software\\Refuse");
    const BYTE odd[3] = {'a', 0, 0};
    EXPECT_EQ(RegSetValueExW(k, u"odd", 0, REG_SZ, odd, 3), ERROR_INVALID_DATA);
    const char16_t lone[] = {0xD800, 0};
    EXPECT_EQ(RegSetValueExW(k, u"lone", 0, REG_SZ, reinterpret_cast<const BYTE*>(lone), 4),
              ERROR_INVALID_DATA);
    EXPECT_EQ(RegSetValueExW(k, u"null", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    RegCloseKey(k);
}

TEST_F(Registry, FailedWriteLeavesNoTrace)
{
    RegCloseKey(create(HKEY_LOCAL_MACHINE, u"Software\\Existing"));
    const std::string before = readText(machineFile());
    // A file-size limit makes the hive write fail part way, even for root.
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = before.size() + 40;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::u16string name = u"Software\\" + std::u16string(200, u'n');
    HKEY k = nullptr;
    const LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0, 0, nullptr, &k, nullptr);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_NE(status, ERROR_SUCCESS);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readText(machineFile()), before);
    // No temporary files left behind.
    size_t files = 0;
    for (auto& e : std::filesystem::directory_iterator(m_dir / "machine"))
        files += e.path().filename().string().rfind("machine.reg.", 0) == 0 &&
                 e.path().extension() != ".lock";
    EXPECT_EQ(files, 0u);
}

TEST_F(Registry, ConcurrentProcessesDoNotLoseEachOthersWrites)
{
    constexpr int kPerProcess = 40;
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kPerProcess; ++i) {
                HKEY k = nullptr;
                const std::u16string path = u"Software\\Race\\P" + support::u16(std::to_string(p)) +
                                            u"_" + support::u16(std::to_string(i));
                failures += RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0,
                                            nullptr, &k, nullptr) != ERROR_SUCCESS;
                RegCloseKey(k);
            }
            ::_exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY race = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Race", 0, KEY_READ, &race),
              ERROR_SUCCESS);
    DWORD count = 0;
    for (;; ++count) {
        WCHAR name[32];
        DWORD cch = 32;
        if (RegEnumKeyExW(race, count, name, &cch, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
    }
    EXPECT_EQ(count, 2u * kPerProcess);
    RegCloseKey(race);
}

TEST_F(Registry, UserHiveDefaultsToTheXdgDataFolder)
{
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_DATA_HOME", (m_dir / "xdg").c_str(), 1);
    TavrelSetRegistryRoot((m_dir / "machine").c_str(), nullptr);
    RegCloseKey(create(HKEY_CURRENT_USER, u"Software\\Defaults"));
    if (saved)
        ::setenv("XDG_DATA_HOME", savedValue.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
    EXPECT_NE(readText(m_dir / "xdg" / "tavrel" / "registry" / "user.reg")
                  .find("[HKEY_CURRENT_USER\\Software\\Defaults]"),
              std::string::npos);
    reload();
}

// ---- registrar ----

TEST_F(Registry, RegistrarRegistersAndUnregistersBackToTheStartingHive)
{
    // Something else already lives under CLSID and must survive.
    HKEY other = create(HKEY_CLASSES_ROOT, u"CLSID\\{11111111-2222-3333-4444-555555555555}");
    setString(other, nullptr, u"Other");
    RegCloseKey(other);
    const std::string before = readText(machineFile());

    const WCHAR* pairs[] = {u"MODULE", u"/opt/tavrel/lib/probe.so", nullptr};
    ASSERT_EQ(TavrelRegistrarApply(HKEY_CLASSES_ROOT, kScript, pairs, TRUE), S_OK);
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT,
                            u"CLSID\\{6F1B7F5A-33C1-4E55-9C42-0D3C8E6A5B10}\\InprocServer32", 0,
                            KEY_READ, &k),
              ERROR_SUCCESS);
    EXPECT_EQ(queryString(k, nullptr), u"/opt/tavrel/lib/probe.so");
    EXPECT_EQ(queryString(k, u"ThreadingModel"), u"Apartment");
    RegCloseKey(k);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT,
                            u"CLSID\\{6F1B7F5A-33C1-4E55-9C42-0D3C8E6A5B10}\\With Space", 0,
                            KEY_READ, &k),
              ERROR_SUCCESS);
    EXPECT_EQ(queryString(k, nullptr), u"it's quoted");
    RegCloseKey(k);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Tavrel.Probe.1", 0, KEY_READ, &k), ERROR_SUCCESS);
    DWORD flags = 0, size = 4, type = 0;
    RegQueryValueExW(k, u"Flags", nullptr, &type, reinterpret_cast<BYTE*>(&flags), &size);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(flags, 0x10u);
    BYTE bits[4];
    size = 4;
    RegQueryValueExW(k, u"Bits", nullptr, &type, bits, &size);
    EXPECT_EQ(type, REG_BINARY);
    ASSERT_EQ(size, 2u);
    EXPECT_EQ(bits[1], 0xFF);
    RegCloseKey(k);

    // Registering again is idempotent; ForceRemove clears a stale subkey first.
    RegCloseKey(create(HKEY_CLASSES_ROOT, u"CLSID\\{6F1B7F5A-33C1-4E55-9C42-0D3C8E6A5B10}\\Stale"));
    ASSERT_EQ(TavrelRegistrarApply(HKEY_CLASSES_ROOT, kScript, pairs, TRUE), S_OK);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT,
                            u"CLSID\\{6F1B7F5A-33C1-4E55-9C42-0D3C8E6A5B10}\\Stale", 0, KEY_READ,
                            &k),
              ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(TavrelRegistrarApply(nullptr, kScript, pairs, FALSE), S_OK);
    EXPECT_EQ(readText(machineFile()), before);
}

TEST_F(Registry, RegistrarKeepsKeysThatHoldForeignData)
{
    const char16_t script[] = u"HKLM { Software { Vendor = s 'ours' { val Mine = s '1' } } }";
    HKEY k = create(HKEY_LOCAL_MACHINE, u"Software\\Vendor");
    setString(k, u"Theirs", u"keep");
    ASSERT_EQ(TavrelRegistrarApply(nullptr, script, nullptr, TRUE), S_OK);
    EXPECT_EQ(queryString(k, u"Mine"), u"1");
    ASSERT_EQ(TavrelRegistrarApply(nullptr, script, nullptr, FALSE), S_OK);
    EXPECT_EQ(queryString(k, u"Mine"), u"<missing>");
    EXPECT_EQ(queryString(k, nullptr), u"<missing>");
    EXPECT_EQ(queryString(k, u"Theirs"), u"keep"); // key kept: it was not only ours
    RegCloseKey(k);
}

TEST_F(Registry, RegistrarRejectsBadScriptsWithoutWritingAnything)
{
    const WCHAR* pairs[] = {u"MODULE", u"/x.so", nullptr};
    const char16_t* bad[] = {
        u"HKCR { Key = s 'unterminated }",
        u"HKCR { Key = s '%UNKNOWN%' }",
        u"HKCR { Key = q 'x' }",
        u"HKCR { Key = d '12x' }",
        u"HKCR { Key = b 'abc' }",
        u"NOROOT { Key }",
        u"HKCR { Good = s 'ok' } HKCR { val = }",
        u"HKCR { Key { ",
    };
    for (const char16_t* script : bad)
        EXPECT_EQ(TavrelRegistrarApply(nullptr, script, pairs, TRUE), DISP_E_EXCEPTION)
            << support::u8(script);
    EXPECT_FALSE(std::filesystem::exists(machineFile()));
    EXPECT_EQ(TavrelRegistrarApply(nullptr, nullptr, pairs, TRUE), E_INVALIDARG);
    std::u16string deep = u"HKCR {";
    for (int i = 0; i < 200; ++i)
        deep += u" k {";
    EXPECT_EQ(TavrelRegistrarApply(nullptr, deep.c_str(), pairs, TRUE), DISP_E_EXCEPTION);
}

} // namespace
