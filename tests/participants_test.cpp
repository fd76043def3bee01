// The participants file as spreadsheets write it, every message a bad line
// gets, and the heart-rate zones.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "participants/participants.h"

namespace kv {
namespace {

ParticipantTable read(const std::string& text, ParticipantsRead* out = nullptr) {
  ParticipantTable t;
  ParticipantsRead r = parseParticipants(text, "class.csv", &t);
  EXPECT_FALSE(r.refused) << r.refusal;
  if (out != nullptr) *out = r;
  return t;
}

std::string nameOf(const ParticipantTable& t, const char* address) {
  const Participant* p = t.find(address);
  return p != nullptr ? p->name : "(none)";
}

int maxOf(const ParticipantTable& t, const char* address) {
  const Participant* p = t.find(address);
  return p != nullptr ? p->maxHr : -1;
}

TEST(Participants, WhatSpreadsheetsWrite) {
  // Comma, LF, lower-case addresses with colons, other columns, any order
  // and letter case of the header.
  ParticipantTable t = read("Device,NAME,Address,Max HR,age\n"
                            "Mirabeat 7,Anna,d8:a0:1d:5c:3e:71,185,\n"
                            "Coros 2,Ben,D8-A0-1D-5C-3E-72,,40\n"
                            "Coros 3,Cleo,D8A01D5C3E73,,\n");
  ASSERT_EQ(t.count(), 3);
  EXPECT_EQ(nameOf(t, "D8A01D5C3E71"), "Anna");
  EXPECT_EQ(maxOf(t, "D8A01D5C3E71"), 185);
  EXPECT_EQ(maxOf(t, "d8a01d5c3e72"), 180);  // 208 - 0.7 x 40
  EXPECT_EQ(maxOf(t, "D8A01D5C3E73"), 0);    // not known
  EXPECT_EQ(t.find("D8A01D5C3E74"), nullptr);
  EXPECT_EQ(t.find("=1+2=1+2=1+"), nullptr);

  // Excel in much of Europe: semicolons, CR LF, a byte-order mark, a
  // decimal comma, quotes around a name that holds the separator and a
  // quote, blank rows written as separators, comments.
  t = read("\xEF\xBB\xBF# spin class, Monday\r\n"
           "name;address;max_hr\r\n"
           "\"M\xC3\xBCller; \"\"Jo\"\"\";D8A01D5C3E71;181,4\r\n"
           ";;\r\n"
           "\r\n"
           "# left out for now\r\n"
           "Zo\xC3\xAB;D8A01D5C3E72;\r\n");
  ASSERT_EQ(t.count(), 2);
  EXPECT_EQ(nameOf(t, "D8A01D5C3E71"), "M\xC3\xBCller; \"Jo\"");
  EXPECT_EQ(maxOf(t, "D8A01D5C3E71"), 181);
  EXPECT_EQ(nameOf(t, "D8A01D5C3E72"), "Zo\xC3\xAB");

  // Windows-1252 ("CSV" in a Western code page), tabs, a line break inside
  // quotes, a name that is too long and one with a control character.
  t = read("address\tname\n"
           "D8A01D5C3E71\tZo\xEB \x80\n"
           "D8A01D5C3E72\t\"two\nlines\"\n"
           "D8A01D5C3E73\t" + std::string(80, 'x') + "\n"
           "D8A01D5C3E74\tBell\x07" "e\n");
  ASSERT_EQ(t.count(), 4);
  EXPECT_EQ(nameOf(t, "D8A01D5C3E71"), "Zo\xC3\xAB \xE2\x82\xAC");
  EXPECT_EQ(nameOf(t, "D8A01D5C3E72"), "two?lines");
  EXPECT_EQ(nameOf(t, "D8A01D5C3E73"), std::string(kParticipantNameCharacters, 'x'));
  EXPECT_EQ(nameOf(t, "D8A01D5C3E74"), "Bell?e");
}

TEST(Participants, ABadLineIsSaidAndLeftOutTheOthersAreUsed) {
  ParticipantsRead r;
  const ParticipantTable t = read("address,name,max_hr,age\n"   // line 1
                                  "D8A01D5C3E71,Anna,185,\n"     // 2
                                  ",Nobody,,\n"                  // 3
                                  "D8A01D5C3E7,Short,,\n"        // 4
                                  "D8A01D5C3E72,,,\n"            // 5
                                  "D8A01D5C3E73,Cleo,abc,\n"     // 6
                                  "D8A01D5C3E74,Dev,231,\n"      // 7
                                  "D8A01D5C3E75,Eve,,7\n"        // 8
                                  "d8:a0:1d:5c:3e:71,Anna B,,30\n",  // 9
                                  &r);
  const std::vector<std::string> want = {
      "class.csv line 3: no address",
      "class.csv line 4: address 'D8A01D5C3E7' is not 12 hexadecimal digits",
      "class.csv line 5: no name for D8:A0:1D:5C:3E:72",
      "class.csv line 6: max_hr 'abc' is not a number from 100 to 230",
      "class.csv line 7: max_hr '231' is not a number from 100 to 230",
      "class.csv line 8: age '7' is not a number from 8 to 100",
      "class.csv line 9: D8:A0:1D:5C:3E:71 is on line 2 too; this line counts",
  };
  EXPECT_EQ(r.problems, want);
  ASSERT_EQ(t.count(), 1);
  EXPECT_EQ(nameOf(t, "D8A01D5C3E71"), "Anna B");
  EXPECT_EQ(maxOf(t, "D8A01D5C3E71"), 187);  // 208 - 0.7 x 30

  // At most 1,000 participants; the rest is said once.
  std::string many = "address,name\n";
  char line[40];
  for (int i = 0; i < kMaxParticipants + 5; ++i) {
    std::snprintf(line, sizeof line, "%012X,P%d\n", i, i);
    many += line;
  }
  const ParticipantTable full = read(many, &r);
  EXPECT_EQ(full.count(), kMaxParticipants);
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_EQ(r.problems[0], "class.csv line 1002: more than 1000 participants; this line and those after it are left out");
}

TEST(Participants, AFileThatCannotBeOneIsRefusedWhole) {
  const std::pair<std::string, std::string> refused[] = {
      {"name,max_hr\nAnna,185\n", "class.csv line 1: no 'address' column in the header"},
      {"# comment\nAddress;Age\nD8A01D5C3E71;40\n", "class.csv line 2: no 'name' column in the header"},
      {"who,what\n", "class.csv line 1: no 'address' or 'name' column in the header"},
      {"", "class.csv is empty: it needs a header line with an 'address' and a 'name' column"},
      {std::string("address,name\n\0\x01\x02", 16), "class.csv is not a text file"},
  };
  for (const auto& [text, why] : refused) {
    ParticipantTable t;
    t.put(Participant{"D8A01D5C3E71", "kept", 0});
    const ParticipantsRead r = parseParticipants(text, "class.csv", &t);
    EXPECT_TRUE(r.refused);
    EXPECT_EQ(r.refusal, why);
    EXPECT_EQ(nameOf(t, "D8A01D5C3E71"), "kept");  // what was in force stays
  }
  // A file too big is not read at all; one that is not there says so.
  const std::string dir = ::testing::TempDir() + "kv-participants-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  {
    std::ofstream big(dir + "/big.csv", std::ios::binary);
    big << "address,name\n" << std::string(kMaxParticipantsFileBytes, 'x');
  }
  ParticipantTable t;
  ParticipantsRead r = readParticipantsFile(dir + "/big.csv", &t);
  EXPECT_TRUE(r.refused);
  EXPECT_EQ(r.refusal, dir + "/big.csv is too big for a participants file (1024 KB; at most 1024 KB)");
  r = readParticipantsFile(dir + "/none.csv", &t);
  EXPECT_EQ(r.refusal, dir + "/none.csv cannot be read: it is not there");
  r = readParticipantsFile(dir, &t);
  EXPECT_EQ(r.refusal, dir + " is not a file");
  {
    std::ofstream ok(dir + "/ok.csv", std::ios::binary);
    ok << "address,name\nD8A01D5C3E71,Anna\n";
  }
  r = readParticipantsFile(dir + "/ok.csv", &t);
  EXPECT_FALSE(r.refused);
  EXPECT_EQ(t.count(), 1);
  std::filesystem::remove_all(dir);
}

TEST(Participants, TheSampleFileReadsWhole) {
  ParticipantTable t;
  const ParticipantsRead r = readParticipantsFile(KV_SOURCE_DIR "/docs/participants-sample.csv", &t);
  EXPECT_FALSE(r.refused) << r.refusal;
  EXPECT_TRUE(r.problems.empty());
  EXPECT_EQ(t.count(), 5);
  EXPECT_EQ(nameOf(t, "C41A22900B7E"), "Zo\xC3\xAB Martin");
  EXPECT_EQ(maxOf(t, "C41A22900B7E"), 189);  // from the age, 27
}

TEST(Participants, ZonesByWholePercentOfTheMaximum) {
  EXPECT_EQ(maxHrFromAge(8), 202);
  EXPECT_EQ(maxHrFromAge(35), 184);  // 183.5 rounds up
  EXPECT_EQ(maxHrFromAge(100), 138);
  // Maximum 200: the zone's first heart rates.
  const std::pair<int, int> edges[] = {{99, 0}, {100, 1}, {119, 1}, {120, 2}, {139, 2}, {140, 3},
                                       {159, 3}, {160, 4}, {179, 4}, {180, 5}, {200, 5}, {230, 5}};
  for (const auto& [hr, zone] : edges) EXPECT_EQ(zoneOf(hr, 200), zone) << hr;
  EXPECT_EQ(percentOfMax(139, 200), 69);
  EXPECT_EQ(percentOfMax(181, 181), 100);
  // Not known: no maximum, or no heart rate.
  EXPECT_EQ(zoneOf(120, 0), -1);
  EXPECT_EQ(percentOfMax(255, 180), -1);
  EXPECT_EQ(percentOfMax(0, 180), -1);
}

}  // namespace
}  // namespace kv
