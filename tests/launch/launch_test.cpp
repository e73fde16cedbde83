#include "launch/launch.h"
#include "tests/harness/test_support.h"
#include "vantor_config.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> SplitLikeWindows(const std::wstring& commandLine) {
    int count = 0;
    unique_local argv(reinterpret_cast<HLOCAL>(::CommandLineToArgvW(commandLine.c_str(), &count)));
    std::vector<std::wstring> out;
    auto* items = static_cast<wchar_t**>(argv.get());
    for (int i = 0; items != nullptr && i < count; ++i) out.emplace_back(items[i]);
    return out;
}

struct QuoteCase {
    std::wstring argument;
    std::wstring quoted;
};

TEST(AppendQuotedArgument, QuotesSoThatWindowsReadsTheArgumentBack) {
    const QuoteCase cases[] = {
        {L"plain", L"\"plain\""},
        {L"", L"\"\""},
        {L"with blanks in it", L"\"with blanks in it\""},
        {LR"(C:\Games\)", LR"("C:\Games\\")"},
        {LR"(ends\\)", LR"("ends\\\\")"},
        {LR"(say "hi")", LR"("say \"hi\"")"},
        {LR"(a\"b)", LR"("a\\\"b")"},
        {LR"(a\\"b)", LR"("a\\\\\"b")"},
        {LR"(a\b\\c)", LR"("a\b\\c")"},
        {LR"(\\server\share)", LR"("\\server\share")"},
        {L"\"", LR"("\"")"},
        {L"tab\there", L"\"tab\there\""},
    };
    for (const QuoteCase& c : cases) {
        SCOPED_TRACE(Narrow(c.argument));
        std::wstring alone;
        AppendQuotedArgument(alone, c.argument);
        EXPECT_EQ(alone, c.quoted);

        // The first item is read with the program-name rules, so check after a leading one.
        std::wstring line = L"prog";
        AppendQuotedArgument(line, c.argument);
        EXPECT_EQ(line, L"prog " + c.quoted);
        const auto items = SplitLikeWindows(line);
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items[1], c.argument);
    }
}

TEST(AppendQuotedArgument, ClientCommandLineKeepsAPathWithBlanksInOnePiece) {
    std::wstring line;
    AppendQuotedArgument(line, LR"(C:\Program Files\Vantor\2015-11-04aKovexe_patched.exe)");
    line += L" ";
    line += ClientArguments;
    EXPECT_EQ(
        line,
        LR"("C:\Program Files\Vantor\2015-11-04aKovexe_patched.exe" -1kov1 /account:clientinfo.xml)");
    const auto items = SplitLikeWindows(line);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0], LR"(C:\Program Files\Vantor\2015-11-04aKovexe_patched.exe)");
    EXPECT_EQ(items[1], L"-1kov1");
    EXPECT_EQ(items[2], L"/account:clientinfo.xml");
}

TEST(TrimTrailingBreaks, RemovesCarriageReturnsLineFeedsAndBlanksInAnyMix) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"File not found.\r\n", L"File not found."},
        {L"Text. \r\n \n\r  ", L"Text."},
        {L"Text\twith tab\t\r\n", L"Text\twith tab\t"},
        {L"line one\r\nline two", L"line one\r\nline two"},
        {L"  leading kept", L"  leading kept"},
        {L"\r\n \r\n", L""},
        {L"", L""},
    };
    for (const auto& [input, expected] : cases) {
        std::wstring text = input;
        TrimTrailingBreaks(text);
        EXPECT_EQ(text, expected) << Narrow(input);
    }
}

std::wstring RawSystemText(DWORD code) {
    wchar_t buffer[1024] = {};
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                         0, buffer, 1024, nullptr);
    return std::wstring(buffer, length);
}

TEST(WindowsErrorText, GivesTheSystemTextWithoutItsLineEnd) {
    for (const DWORD code : {2ul, 5ul, 193ul}) {
        SCOPED_TRACE(code);
        const std::wstring raw = RawSystemText(code);
        // The system's texts end in a line break; that is what must go.
        ASSERT_GE(raw.size(), 3u);
        ASSERT_EQ(raw.substr(raw.size() - 2), L"\r\n");
        EXPECT_EQ(WindowsErrorText(code), raw.substr(0, raw.find_last_not_of(L"\r\n ") + 1));
    }
}

TEST(WindowsErrorText, FallsBackWhenTheSystemHasNoText) {
    // Customer-defined codes (bit 29) have no system text.
    EXPECT_EQ(WindowsErrorText(0x20001234), L"Unknown Windows error");
    EXPECT_EQ(WindowsErrorText(0xFFFFFFFF), L"Unknown Windows error");
}

const std::string Address = std::string("<address>") + GameServerHostBytes + "</address>";
const std::string Port = std::string("<port>") + GameServerPortBytes + "</port>";

std::string Utf16(const std::string& ascii) {
    std::string out;
    for (const char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Content of exactly size bytes whose last bytes are both fragments.
std::string PaddedTo(size_t size) {
    const std::string tail = Address + Port;
    return std::string(size - tail.size(), 'x') + tail;
}

struct ConfigCase {
    const char* name;
    std::string content;
    bool valid;
};

TEST(CheckServerConfiguration, SearchesTheBytesForBothFragments) {
    const ConfigCase cases[] = {
        {"both fragments in an element",
         "<?xml version=\"1.0\"?>\n<clientinfo><connection>" + Address + Port +
             "</connection></clientinfo>\n",
         true},
        {"only the fragments", Address + Port, true},
        {"reverse order", Port + "\n" + Address, true},
        {"inside a comment", "<!-- " + Address + " " + Port + " -->", true},
        {"utf-8 around them", "\xEF\xBB\xBF<c>\xE4\xB8\xAD" + Address + Port + "</c>", true},
        {"exactly 1 MiB", PaddedTo(1048576), true},
        {"empty", "", false},
        {"one byte over 1 MiB", PaddedTo(1048577), false},
        {"address only", Address, false},
        {"port only", Port, false},
        {"other host", "<address>other." + std::string(GameServerHostBytes) + "</address>x" + Port,
         false},
        {"other port", Address + "<port>69000</port>", false},
        {"upper-case elements", Upper(Address) + Upper(Port), false},
        {"blank inside an element",
         "<address> " + std::string(GameServerHostBytes) + "</address>" + Port, false},
        {"attribute on an element",
         "<address type=\"ip\">" + std::string(GameServerHostBytes) + "</address>" + Port, false},
        {"utf-16", Utf16(Address + Port), false},
        {"fragment cut short at the end", Address + Port.substr(0, Port.size() - 1), false},
        {"shorter than a fragment", "<port>", false},
    };
    TempDir dir;
    const std::wstring path = dir / L"Data\\clientinfo.xml";
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteBytes(path, c.content));
        EXPECT_EQ(CheckServerConfiguration(path), c.valid);
    }
}

TEST(CheckServerConfiguration, FailsWhenTheFileCannotBeRead) {
    TempDir dir;
    EXPECT_FALSE(CheckServerConfiguration(dir / L"absent.xml"));
    ASSERT_TRUE(::CreateDirectoryW((dir / L"clientinfo.xml").c_str(), nullptr));
    EXPECT_FALSE(CheckServerConfiguration(dir / L"clientinfo.xml"));

    const std::wstring locked = dir / L"locked.xml";
    ASSERT_TRUE(WriteBytes(locked, Address + Port));
    ASSERT_TRUE(CheckServerConfiguration(locked));
    {
        // Another program writing the file without sharing it for reading.
        unique_file holder(::CreateFileW(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder.valid());
        EXPECT_FALSE(CheckServerConfiguration(locked));
    }
    EXPECT_TRUE(CheckServerConfiguration(locked));
}

}  // namespace
