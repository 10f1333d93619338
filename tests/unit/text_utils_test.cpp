// Number and version extraction from real modem answers and hostile text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/globals.h"
#include "serial/text_utils.h"

namespace {

std::string Captured() {
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

const char kNoNumber[] = "\nCFG-YNK: retval = NOT_OK";

}  // namespace

TEST(TextUtils, yank_takes_the_first_number_within_200_characters_and_cuts_the_source_after_it) {
    const std::string digits2000(2000, '7');
    const struct { std::string source; int size; int result; std::string number, sourceAfter; bool message; } rows[] = {
        {"AT+CSQ\r\r\n+CSQ: 17,99\r\n\r\nOK\r\n", 40, OK, "17", "AT+CSQ\r\r\n+CSQ: 17", false},
        {"AT#CCID\r\r\n#CCID: 89014104279461713562\r\n\r\nOK\r\n", 40, OK, "89014104279461713562",
         "AT#CCID\r\r\n#CCID: 89014104279461713562", false},
        // size 15: a 15-digit IMEI keeps its first 14 digits
        {"AT+CGSN\r\r\n353535099996462\r\n\r\nOK\r\n", 15, OK, "35353509999646",
         "AT+CGSN\r\r\n353535099996462", false},
        {"AT+GMR\r\r\n20.00.014\r\n\r\nOK\r\n", 40, OK, "20.00.014", "AT+GMR\r\r\n20.00.014", false},
        {std::string(198, 'x') + "7 ", 40, OK, "7", std::string(198, 'x') + "7", false},
        // a number still running at the window's edge: reported, source untouched
        {std::string(199, 'x') + "7 ", 40, NOT_OK, "7", std::string(199, 'x') + "7 ", false},
        {digits2000, 40, NOT_OK, digits2000.substr(0, 39), digits2000, false},
        {std::string(200, 'x') + "7", 40, NOT_OK, "", std::string(200, 'x') + "7", true},
        {"AT\r\r\nOK\r\n", 40, NOT_OK, "", "AT\r\r\nOK\r\n", true},
        {"\xe6\x9e\x98\xfc\x80", 40, NOT_OK, "", "\xe6\x9e\x98\xfc\x80", true},
    };
    for (const auto& row : rows) {
        std::string source = row.source;
        char dest[64];
        memset(dest, 'Z', sizeof dest);
        testing::internal::CaptureStdout();
        EXPECT_EQ(YankStrNumbers(&source[0], dest, row.size), row.result) << row.source;
        EXPECT_EQ(Captured(), row.message ? kNoNumber : "") << row.source;
        EXPECT_EQ(std::string(dest), row.number) << row.source;
        EXPECT_EQ(std::string(source.c_str()), row.sourceAfter) << row.source;
        if (!row.message) {  // zero-filled to size-1 and terminated, nothing written beyond
            for (int i = static_cast<int>(row.number.size()); i < row.size; i++) EXPECT_EQ(dest[i], 0) << i;
            EXPECT_EQ(dest[row.size], 'Z');
        }
    }
}

TEST(TextUtils, version_packs_three_fields_into_12_8_12_bits_or_gives_0) {
    const std::string invalid = "\n\n*** ERROR: invalid FW version: tempStr: '";
    const struct { std::string text; int version; std::string message; } rows[] = {
        {"20.00.524", 0x0140020C, ""}, {"20.00", 0x01400000, ""}, {"??.??.???", 0, ""},
        {"12345.00.524", 0, invalid + "12345.00.524' ***\n"}, {"20.00.52400", 0, invalid + "20.00.52400' ***\n"},
        {"20.00.524\r\n", 0, invalid + "20.00.524\r\n' ***\n"},  // the line end makes a fifth character
    };
    for (const auto& row : rows) {
        std::string text = row.text;
        testing::internal::CaptureStdout();
        EXPECT_EQ(StrToVersion(&text[0]), row.version) << row.text;
        EXPECT_EQ(Captured(), row.message) << row.text;
    }
}

// Late answers and unsolicited codes around a query's answer (the cell rows put codes ahead of it).
TEST(TextUtils, answer_value_starts_at_the_commands_own_line_past_other_results) {
    const struct { const char* cmd; std::string answer, number; bool passedOver; } rows[] = {
        {"AT+CSQ", "\r\n+CSQ: 12,99\r\n\r\nOK\r\nAT+CSQ\r", "12", false},  // the last poll's late answer
        {"AT+CSQ", "\r\n+CSQ: 12,99\r\n\r\nOK\r\nAT+CSQ\r\r\n+CSQ: 99,99\r\n\r\nOK\r\n", "99", true},  // and this one's
        {"AT+CGSN", "AT+CGSN\r\r\n#QSS: 1\r\n\r\n353535099996462\r\n\r\nOK\r\n", "353535099996462", true},
        {"AT+GMR", "\r\n+CCID: 8901410427946\r\n\r\nOK\r\nAT+GMR\r\r\n20.00.524\r\n\r\nOK\r\n", "20.00.524", true},
        {"AT+CGSN", "\r\n+CREG: 5\r\nAT+CGSN\r", "", true},  // only the echo is ours: no value
        {"AT+CCID", "AT+CCID\r\r\n#CCID: 89014104279461713562\r\n\r\nOK\r\n", "89014104279461713562", false},
        {"AT+GMR", "AT+GMR\r\r\n+CGMR: 20.00.524\r\n\r\nOK\r\n", "20.00.524", false},
        {"AT+CGSN", "AT+CGSN\r\r\n+CGSN: 353535099996462\r\n\r\nOK\r\n", "353535099996462", false},
    };
    for (const auto& row : rows) {
        std::string rx = row.answer;
        char number[41] = {};
        testing::internal::CaptureStdout();
        YankStrNumbers(AnswerValueStart(&rx[0], row.cmd), number, 40);
        EXPECT_EQ(Captured().find("past other results") != std::string::npos, row.passedOver) << row.answer;
        EXPECT_EQ(std::string(number), row.number) << row.answer;
    }
}
