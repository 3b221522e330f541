// The sample lines and frames that the worker's own tests read too: Parlivo must write and read
// them exactly as they stand, so the two ends of the pipe cannot drift apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "shared/text.h"
#include "worker_link/line_parser.h"
#include "worker_link/protocol.h"

namespace colloquor {
namespace {

using Columns = std::vector<std::string>;  // the row's name first, escapes resolved

// \t \n \r \\ and \xNN inside a column stand for the byte itself.
std::string unescape(const std::string& column) {
  std::string out;
  for (std::size_t i = 0; i < column.size(); ++i) {
    const char next = i + 1 < column.size() ? column[i + 1] : 0;
    if (column[i] != '\\' || next == 0) {
      out += column[i];
    } else if (next == 'x') {
      out += static_cast<char>(std::stoi(column.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
      ++i;
    }
  }
  return out;
}

// Calls check with the rows of every case: a row named names[0] and the rows named by the rest of
// names right after it. A failure names the case's file and line.
template <typename Check>
void for_each_case(const std::string& file, const Columns& names, Check check) {
  std::ifstream in(std::string(COLLOQUOR_PROTOCOL_SAMPLES) + "/" + file, std::ios::binary);
  ASSERT_TRUE(in) << "cannot open " << file;
  std::vector<std::pair<int, Columns>> rows;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (text.empty() || text[0] == '#') continue;
    Columns columns;
    std::istringstream split(text);
    for (std::string column; std::getline(split, column, '\t');)
      columns.push_back(unescape(column));
    if (text.back() == '\t') columns.emplace_back();  // getline drops an empty last column
    rows.emplace_back(number, std::move(columns));
  }
  int cases = 0;
  for (std::size_t i = 0; i + names.size() <= rows.size(); ++i) {
    if (rows[i].second[0] != names[0]) continue;
    SCOPED_TRACE(file + ":" + std::to_string(rows[i].first));
    std::vector<Columns> group;
    for (std::size_t k = 0; k < names.size(); ++k) {
      ASSERT_EQ(rows[i + k].second[0], names[k]);
      ASSERT_GE(rows[i + k].second.size(), 2u);
      group.push_back(rows[i + k].second);
    }
    check(group);
    ++cases;
  }
  EXPECT_GT(cases, 0) << "no case starts with " << names[0];
}

std::string hex(const std::string& bytes) {
  std::string out;
  for (unsigned char byte : bytes)
    out += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
  return out;
}

TEST(ProtocolSamples, WorkerLinesAreWrittenAndReadAsTheSamplesSay) {
  std::set<char> kinds_seen;
  for_each_case("lines.txt", {"send", "wire", "read"}, [&](const std::vector<Columns>& rows) {
    const Columns& send = rows[0];
    const Columns& read = rows[2];
    ASSERT_EQ(read.size(), 6u);
    const char kind = send[1].at(0);
    kinds_seen.insert(kind);
    const Columns fields(send.begin() + 2, send.end());
    EXPECT_EQ(join_line(kind, fields), rows[1][1] + "\n");
    EXPECT_EQ(field_count(line_layout(kind)), fields.size());

    const WorkerLine line = parse_worker_line(rows[1][1]);
    EXPECT_EQ(std::string(1, line.kind), read[1]);
    EXPECT_EQ(line.channel, std::stoi(read[2]));
    EXPECT_EQ(line.number, std::stoi(read[3]));
    EXPECT_EQ(line.language, read[4]);
    EXPECT_EQ(line.text, utf8_to_utf16(read[5]));
  });
  for (const LineKind& entry : kLineKinds) {
    if (entry.letter == kLineStartFailed || entry.letter == kLineOutputEnded) continue;
    EXPECT_TRUE(kinds_seen.count(entry.letter)) << "no sample of kind " << entry.letter;
  }
}

TEST(ProtocolSamples, FramesAreEncodedAsTheSamplesSay) {
  for_each_case("frames.txt", {"frame", "bytes"}, [](const std::vector<Columns>& rows) {
    const std::string payload = rows[0].size() > 2 ? rows[0][2] : "";
    EXPECT_EQ(hex(encode_frame(rows[0][1].at(0), payload.data(),
                               static_cast<std::uint32_t>(payload.size()))),
              rows[1][1]);
  });
  for_each_case("frames.txt", {"audio", "payload"}, [](const std::vector<Columns>& rows) {
    std::vector<std::int16_t> samples;
    std::istringstream in(rows[0].at(2));
    for (int sample; in >> sample;) samples.push_back(static_cast<std::int16_t>(sample));
    EXPECT_EQ(hex(audio_payload(std::stoi(rows[0][1]), samples.data(), samples.size())),
              rows[1][1]);
  });
  for_each_case("frames.txt", {"options", "text"}, [](const std::vector<Columns>& rows) {
    const Columns& options = rows[0];
    ASSERT_EQ(options.size(), 6u);
    EXPECT_EQ(options_payload(std::stoi(options[1]), std::stoi(options[2]), options[3] == "1",
                              options[4] == "1", std::stoi(options[5])),
              rows[1][1]);
  });
}

}  // namespace
}  // namespace colloquor
