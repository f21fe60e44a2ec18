#include "datatypes/money-currencies.h"

#include <cstring>

#include "datatypes/word.h"
#include "memory/symbols.h"

namespace vum::money_type::currencies {

namespace {

// The codes the list starts with, in their order: a value's currency is its
// code's position here, so new codes only ever go at the end.
constexpr const char* default_codes =
    "AED AFN ALL AMD ANG AOA ARS AUD AWG AZN BAM BBD BDT BTC BGN "
    "BHD BIF BMD BND BOB BRL BSD BTN BWP BYN BZD CAD CDF CHF CKD "
    "CLP CNY COP CRC CUC CUP CVE CZK DJF DKK DOP DZD EGP ERN ETB "
    "ETH EUR FJD FKP FOK GBP GEL GGP GHS GIP GMD GNF GTQ GYD HKD "
    "HNL HRK HTG HUF IDR ILS IMP INR IQD IRR ISK JEP JMD JOD JPY "
    "KES KGS KHR KID KMF KPW KRW KWD KYD KZT LAK LBP LKR LRD LSL "
    "LYD MAD MDL MGA MKD MMK MNT MOP MRU MUR MVR MWK MXN MYR MZN "
    "NAD NGN NIO NOK NPR NZD OMR PAB PEN PGK PHP PKR PLN PND PRB "
    "PYG QAR VUM RON RSD RUB RWF SAR SBD SCR SDG SEK SGD SHP SLL "
    "SLS SOS SRD SSP STN SYP SZL THB TJS TMT TND TOP TRY TTD TVD "
    "TWD TZS UAH UGX USD UYU UZS VES VND VUV WST CFA XAF XCD XOF "
    "CFP XPF YER ZAR ZMW";

char codes[max_count][4];
int32_t used = 0;

char upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The list is filled on first use, so lookups work however early they come
// (the lexer may read money before the datatype's start-up has run).
void ensure_filled() {
    if (used == 0) reset();
}

}  // namespace

int32_t count() {
    ensure_filled();
    return used;
}

const char* code(int32_t index) {
    ensure_filled();
    return index >= 1 && index <= used ? codes[index - 1] : nullptr;
}

int32_t find(const char* text, int32_t length) {
    ensure_filled();
    if (length != 3) return -1;
    char key[3] = {upper(text[0]), upper(text[1]), upper(text[2])};
    for (int32_t i = 0; i < used; i++)
        if (std::memcmp(codes[i], key, 3) == 0) return i + 1;
    return -1;
}

int32_t find_word(const Cell* word) {
    uint8_t t = cell::type(word);
    if (t < type_word || t > type_get_word) return -1;
    int32_t length = 0;
    const char* text = symbols::text(int32_t(word->w2), &length);
    return text ? find(text, length) : -1;
}

// Through the lexer's path: a code in capitals is a case variant of the
// lower-case word, which the global context keeps once, not at every call.
Cell word(int32_t index) { return vum::word::load(code(index)); }

bool append(const char* text, int32_t length) {
    ensure_filled();
    if (used >= max_count || length != 3) return false;
    for (int32_t i = 0; i < 3; i++)
        if (!is_letter(text[i])) return false;
    if (find(text, length) > 0) return false;
    for (int32_t i = 0; i < 3; i++) codes[used][i] = upper(text[i]);
    codes[used][3] = 0;
    used++;
    return true;
}

void reset() {
    used = 0;
    for (const char* p = default_codes; *p; p += *p == ' ' ? 1 : 3) {
        if (*p == ' ') continue;
        std::memcpy(codes[used], p, 3);
        codes[used][3] = 0;
        used++;
    }
}

}  // namespace vum::money_type::currencies
