#include "common/util/convert.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

TEST(Uint64ToString, UpperCaseHexWithoutPrefixOrPadding) {
  struct Row {
    uint64_t value;
    std::string text;
  };
  for (const Row& row : std::vector<Row>{{0xabc, "ABC"},
                                         {0, "0"},
                                         {0x10, "10"},
                                         {0x200000, "200000"},
                                         {0xFFFFFFFFFFFFFFFFull, "FFFFFFFFFFFFFFFF"}})
    EXPECT_EQ(uint64_t_to_string(row.value), row.text) << row.value;
  EXPECT_EQ(hexNumber(0x2c, 4), "0x002c");  // padded, lower case
  EXPECT_EQ(hexNumber(0x41c0000000, 0), "0x41c0000000");
}

struct HexCase {
  std::string text;
  uint64_t value;
};

TEST(StringToUint64, ParsesHexText) {
  for (const HexCase& row : std::vector<HexCase>{{"1f", 31},
                                                 {"1F", 31},
                                                 {"0x1f", 31},
                                                 {"0X1F", 31},
                                                 {" 1f", 31},
                                                 {"\t\n1f", 31},
                                                 {"12zz", 0x12},
                                                 {"0", 0},
                                                 {"1cb7\n", 0x1cb7},
                                                 {"ffffffffffffffff", 0xFFFFFFFFFFFFFFFFull}})
    EXPECT_EQ(string_to_uint64_t(row.text), row.value) << '"' << row.text << '"';
}

TEST(StringToUint32, ParsesHexText) {
  for (const HexCase& row :
       std::vector<HexCase>{{"ffffffff", 4294967295u}, {"0x3b", 0x3b}, {"7fz", 0x7f}, {" 0", 0}})
    EXPECT_EQ(string_to_uint32_t(row.text), row.value) << '"' << row.text << '"';
}

template <typename Fn>
void expectInvalidHex(Fn fn, const std::string& text) {
  try {
    fn(text);
    ADD_FAILURE() << "no exception for \"" << text << '"';
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid hexadecimal string") << text;
  }
}

TEST(StringToUint, RejectsTextWithoutDigitsOrTooLarge) {
  for (const char* text : {"", "zz", " ", "g1", "10000000000000000"})
    expectInvalidHex(string_to_uint64_t, text);
  for (const char* text : {"", "zz", "100000000", "fffffffff"})
    expectInvalidHex(string_to_uint32_t, text);
}

struct BdfCase {
  std::string bdf;
  uint64_t packed;
};

const std::vector<BdfCase> kBdfCases = {{"0000:3b:00.0", 0x3b00},     {"0000:3b:1f.7", 0x3be7},
                                        {"0001:02:03.1", 0x10261},    {"0000:00:08.0", 0x100},
                                        {"0000:01:00.0", 0x100},      {"ffff:ff:1f.7", 0xffffffe7},
                                        {"0000-3b-00-0", 0x3b00},  // separators are never looked at
                                        {"0000:3b:00.0extra", 0x3b00}};

TEST(BdfStringToUint, APciAddressIsReadByItsFieldsWhateverItsDomain) {
  EXPECT_EQ(bdf_string_to_uint64_t("10000:3b:00.0"), 0x100003b00u);
  EXPECT_EQ(bdf_string_to_uint64_t("ffffffff:ff:1f.7"), 0xffffffffffe7u);
  EXPECT_THROW(bdf_string_to_uint32_t("10000:3b:00.0"), std::out_of_range);
  EXPECT_EQ(bdf_string_to_uint32_t("ffff:3b:00.0"), 0xffff3b00u);
}

TEST(BdfStringToUint, PacksDomainBusDeviceShiftedByFiveAndFunction) {
  for (const BdfCase& row : kBdfCases) {
    EXPECT_EQ(bdf_string_to_uint64_t(row.bdf), row.packed) << row.bdf;
    EXPECT_EQ(bdf_string_to_uint32_t(row.bdf), static_cast<uint32_t>(row.packed)) << row.bdf;
  }
}

TEST(BdfStringToUint, ShortStringIsOutOfRange) {
  for (const char* bdf : {"", "0000:3b:00", "0000:3b"}) {
    EXPECT_THROW(bdf_string_to_uint64_t(bdf), std::out_of_range) << bdf;
    EXPECT_THROW(bdf_string_to_uint32_t(bdf), std::out_of_range) << bdf;
  }
}

TEST(BdfStringToUint, EmptyOrNonHexFieldIsInvalid) {
  for (const char* bdf : {"0000:3b:00.", "zzzz:3b:00.0", "0000:3b:xx.0", "0000:  :00.0"}) {
    expectInvalidHex(bdf_string_to_uint64_t, bdf);
    expectInvalidHex(bdf_string_to_uint32_t, bdf);
  }
}

TEST(GetBdf, PacksRoutingNumberWithShiftByThree) {
  struct Row {
    std::string address;
    uint32_t packed;
  };
  for (const Row& row : std::vector<Row>{{"03:00.1", 0x301},
                                         {"00:1f.7", 0xff},
                                         {"3b:00.0", 0x3b00},
                                         {"ff:1f.7", 0xffff},
                                         {"01:20.0", 0x100},  // device masked to 5 bits
                                         {"01:00.9", 0x101},  // function masked to 3 bits
                                         {"03:00", 0},        // no function
                                         {"", 0},
                                         {"zz:00.0", 0}})
    EXPECT_EQ(get_bdf(row.address), row.packed) << row.address;
}

TEST(Split, ExtractsFieldsBetweenDelimiters) {
  struct Row {
    std::string text;
    char delimiter;
    std::vector<std::string> fields;
  };
  for (const Row& row : std::vector<Row>{{"a,,b,", ',', {"a", "", "b"}},
                                         {"", ',', {}},
                                         {"abc", ',', {"abc"}},
                                         {",a", ',', {"", "a"}},
                                         {",,", ',', {"", ""}},
                                         {"0000:3b:00.0", ':', {"0000", "3b", "00.0"}}})
    EXPECT_EQ(split(row.text, row.delimiter), row.fields) << row.text;
}

TEST(CharArrContains, FindsPart) {
  struct Row {
    const char* text;
    const char* part;
    bool found;
  };
  for (const Row& row : std::vector<Row>{{"tamberon0", "tamberon", true},
                                         {"xtamberon", "tamberon", true},
                                         {"tamber", "tamberon", false},
                                         {"abc", "", true},
                                         {"", "", true},
                                         {"", "a", false},
                                         {"Tamberon", "tamberon", false}})
    EXPECT_EQ(char_arr_contains(row.text, row.part), row.found) << row.text << " / " << row.part;
}

}  // namespace
