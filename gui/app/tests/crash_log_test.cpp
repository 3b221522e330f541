#include "app/crash_log.h"

#include <gtest/gtest.h>

#include "shared/paths.h"

namespace colloquor {
namespace {

TEST(FolderOf, CutsBeforeTheLastSeparator) {
  EXPECT_EQ(folder_of(u"C:\\Program Files\\Colloquor\\Parlivo.exe"),
            u"C:\\Program Files\\Colloquor");
  EXPECT_EQ(folder_of(u"/opt/colloquor/Parlivo.exe"), u"/opt/colloquor");
  EXPECT_EQ(folder_of(u"C:\\a/b\\c/Parlivo.exe"), u"C:\\a/b\\c");
  EXPECT_EQ(folder_of(u"C:/a\\Parlivo.exe"), u"C:/a");
  EXPECT_EQ(folder_of(u"\\Parlivo.exe"), u"");
}

TEST(FolderOf, PathWithoutSeparatorIsKeptWhole) {
  EXPECT_EQ(folder_of(u"Parlivo.exe"), u"Parlivo.exe");
  EXPECT_EQ(folder_of(u""), u"");
}

TEST(Timestamp, ZeroPaddedFields) {
  EXPECT_EQ(format_timestamp(2026, 11, 18, 21, 46, 0), u"2026-11-18_21-46-00");
  EXPECT_EQ(format_timestamp(7, 1, 2, 3, 4, 5), u"0007-01-02_03-04-05");
}

TEST(CrashLine, TimestampTwoSpacesMessageCrLf) {
  EXPECT_EQ(crash_line(u"2026-11-18_21-46-00", "std::terminate"),
            "2026-11-18_21-46-00  std::terminate\r\n");
  // Units above 0xFF keep only their low byte; the message bytes pass unchanged.
  EXPECT_EQ(crash_line(u"\u0131x", "\xC3\xA9"), std::string("\x31x  \xC3\xA9\r\n"));
}

TEST(CrashMessages, TerminateWithAndWithoutStandardException) {
  EXPECT_EQ(terminate_message(nullptr), "std::terminate");
  EXPECT_EQ(terminate_message("bad_alloc"), "std::terminate: bad_alloc");
  EXPECT_EQ(terminate_message(""), "std::terminate: ");
}

TEST(CrashMessages, UnhandledExceptionCodeAndAddress) {
  const std::string text = unhandled_exception_message(0xC0000005ul, nullptr);
  EXPECT_EQ(text.rfind("unhandled exception 0xC0000005 at ", 0), 0u) << text;
  EXPECT_EQ(unhandled_exception_message(0x5ul, nullptr).substr(0, 30),
            "unhandled exception 0x00000005");
  EXPECT_LT(unhandled_exception_message(0xFFFFFFFFul, reinterpret_cast<void*>(~0ull)).size(), 160u);
}

}  // namespace
}  // namespace colloquor
