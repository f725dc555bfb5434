// Runs the validator over the public conformance corpus: y_ files must pass, n_ files must fail,
// and the outcome of every i_ file is pinned down as the behaviour we promise.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "json/json_validate.h"

namespace {

namespace fs = std::filesystem;

// Files where our rules deliberately disagree with the corpus, with the reason.
const std::map<std::string, std::string> kDeliberateDifferences = {
    {"y_string_nonCharacterInUTF-8_U+10FFFF.json",
     "U+10FFFF is rejected inside strings (the highest accepted code point is U+10FFFE)"},
};

// Outcome promised for each implementation-defined file: true when it validates.
const std::map<std::string, bool> kImplementationDefined = {
    {"i_number_double_huge_neg_exp.json", true},  // grammar only, no range check
    {"i_number_huge_exp.json", true},
    {"i_number_neg_int_huge_exp.json", true},
    {"i_number_pos_double_huge_exp.json", true},
    {"i_number_real_neg_overflow.json", true},
    {"i_number_real_pos_overflow.json", true},
    {"i_number_real_underflow.json", true},
    {"i_number_too_big_neg_int.json", true},
    {"i_number_too_big_pos_int.json", true},
    {"i_number_very_big_negative_int.json", true},
    {"i_object_key_lone_2nd_surrogate.json", true},  // escaped surrogates are not paired
    {"i_string_1st_surrogate_but_2nd_missing.json", true},
    {"i_string_1st_valid_surrogate_2nd_invalid.json", true},
    {"i_string_UTF-16LE_with_BOM.json", false},  // only UTF-8, no byte-order mark
    {"i_string_UTF-8_invalid_sequence.json", false},
    {"i_string_UTF8_surrogate_U+D800.json", false},  // encoded surrogates are rejected
    {"i_string_incomplete_surrogate_and_escape_valid.json", true},
    {"i_string_incomplete_surrogate_pair.json", true},
    {"i_string_incomplete_surrogates_escape_valid.json", true},
    {"i_string_invalid_lonely_surrogate.json", true},
    {"i_string_invalid_surrogate.json", true},
    {"i_string_invalid_utf-8.json", false},
    {"i_string_inverted_surrogates_U+1D11E.json", true},
    {"i_string_iso_latin_1.json", false},
    {"i_string_lone_second_surrogate.json", true},
    {"i_string_lone_utf8_continuation_byte.json", false},
    {"i_string_not_in_unicode_range.json", false},
    {"i_string_overlong_sequence_2_bytes.json", false},  // 2-byte overlong forms are rejected
    {"i_string_overlong_sequence_6_bytes.json", false},
    {"i_string_overlong_sequence_6_bytes_null.json", false},
    {"i_string_truncated-utf-8.json", false},
    {"i_string_utf16BE_no_BOM.json", false},
    {"i_string_utf16LE_no_BOM.json", false},
    {"i_structure_500_nested_arrays.json", true},  // within the 1024-level limit
    {"i_structure_UTF-8_BOM_empty_object.json", false},
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(JsonConformance, EveryCorpusFileGetsThePromisedVerdict) {
    const fs::path dir = LK_JSON_CONFORMANCE_DIR;
    if (!fs::is_directory(dir)) {
        GTEST_SKIP() << "conformance corpus not found at " << dir
                     << " (expected beside the repository in ../shared/testdata)";
    }
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json") continue;
        const std::string text = read_file(entry.path());
        const bool valid = json_validn(text.data(), static_cast<int64_t>(text.size())).valid;
        bool expected = false;
        if (name.starts_with("i_")) {
            const auto it = kImplementationDefined.find(name);
            ASSERT_NE(it, kImplementationDefined.end()) << name << " has no promised outcome";
            expected = it->second;
        } else {
            expected = name.starts_with("y_");
            if (kDeliberateDifferences.contains(name)) expected = !expected;
        }
        EXPECT_EQ(valid, expected) << name;
        ++checked;
    }
    EXPECT_GT(checked, 300);
}

}  // namespace
