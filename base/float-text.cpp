// Doubles to decimal text and back, correctly rounded, with no help from the
// C library.
//
// Digits out: exact digit generation on r/s = d / 10^k, with the half-gaps
// to the neighbouring doubles (mlo, mhi) carried along in the same scale so
// that generation can stop at the first digit string that still reads back.
// All quantities are integers; they live in unsigned 128-bit words when they
// are small enough and in heap bigints otherwise.
//
// Digits in: short inputs are one exactly rounded double operation; anything
// else starts from a double estimate and walks it to the right neighbour by
// comparing the exact decimal value against the exact midpoints between
// adjacent doubles.
#include "base/float-text.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/tracked-heap.h"

namespace vum::floats {
namespace {

constexpr uint64_t sign_bit = 1ULL << 63;
constexpr uint64_t exponent_mask = 0x7FF0000000000000ULL;
constexpr uint64_t fraction_mask = (1ULL << 52) - 1;
constexpr uint64_t hidden_bit = 1ULL << 52;
constexpr uint64_t quiet_nan = 0x7FF8000000000000ULL;
constexpr int min_exponent = -1074;   // of the integer significand
constexpr int max_exponent = 971;

// "-" and then the 30 digit places; the byte after them is the terminator.
// The sign is never overwritten, so a negative result is simply the address
// of the first byte.
char area[32] = "-";

// ---------------------------------------------------------------------------
// Bigints: magnitudes in 32-bit words, least significant first. Records are
// kept on per-size free lists because a conversion allocates and drops many
// of them; only the small classes are worth keeping.

struct Bigint {
    Bigint* next;   // free-list link
    int k;          // size class
    int maxwds;     // 1 << k
    int sign;
    int wds;        // words in use; 0 is the value zero
};

constexpr int Kmax = 7;
Bigint* freelist[Kmax + 1];

uint32_t* words(Bigint* b) { return reinterpret_cast<uint32_t*>(b + 1); }
const uint32_t* words(const Bigint* b) {
    return reinterpret_cast<const uint32_t*>(b + 1);
}

Bigint* balloc(int k) {
    Bigint* b;
    if (k <= Kmax && freelist[k] != nullptr) {
        b = freelist[k];
        freelist[k] = b->next;
    } else {
        int32_t size = int32_t(sizeof(Bigint)) +
                       int32_t(sizeof(uint32_t)) * (int32_t(1) << k);
        b = static_cast<Bigint*>(heap::alloc(size));
        b->k = k;
        b->maxwds = 1 << k;
    }
    b->next = nullptr;
    b->sign = 0;
    b->wds = 0;
    return b;
}

Bigint* balloc_words(int n) {
    int k = 0;
    while ((1 << k) < n) ++k;
    return balloc(k);
}

void bfree(Bigint* b) {
    if (b == nullptr) return;
    if (b->k <= Kmax) {
        b->next = freelist[b->k];
        freelist[b->k] = b;
    } else {
        heap::free(b);
    }
}

void trim(Bigint* b) {
    const uint32_t* x = words(b);
    while (b->wds > 0 && x[b->wds - 1] == 0) --b->wds;
}

Bigint* from_u64(uint64_t v) {
    Bigint* b = balloc(1);
    words(b)[0] = uint32_t(v);
    words(b)[1] = uint32_t(v >> 32);
    b->wds = 2;
    trim(b);
    return b;
}

Bigint* copy(const Bigint* a) {
    Bigint* b = balloc(a->k);
    std::memcpy(words(b), words(a), sizeof(uint32_t) * size_t(a->wds));
    b->wds = a->wds;
    b->sign = a->sign;
    return b;
}

// Makes room for n words, moving to a larger record if needed.
Bigint* grow(Bigint* b, int n) {
    if (n <= b->maxwds) return b;
    Bigint* c = balloc_words(n);
    std::memcpy(words(c), words(b), sizeof(uint32_t) * size_t(b->wds));
    c->wds = b->wds;
    c->sign = b->sign;
    bfree(b);
    return c;
}

// b * m + a, in place.
Bigint* mul_small(Bigint* b, uint32_t m, uint32_t a) {
    uint32_t* x = words(b);
    uint64_t carry = a;
    for (int i = 0; i < b->wds; ++i) {
        uint64_t t = uint64_t(x[i]) * m + carry;
        x[i] = uint32_t(t);
        carry = t >> 32;
    }
    if (carry != 0) {
        b = grow(b, b->wds + 1);
        words(b)[b->wds++] = uint32_t(carry);
    }
    return b;
}

Bigint* mul(const Bigint* a, const Bigint* b) {
    if (a->wds < b->wds) std::swap(a, b);
    int wa = a->wds;
    int wb = b->wds;
    Bigint* c = balloc_words(wa + wb);
    uint32_t* z = words(c);
    std::memset(z, 0, sizeof(uint32_t) * size_t(wa + wb));
    const uint32_t* x = words(a);
    const uint32_t* y = words(b);
    for (int j = 0; j < wb; ++j) {
        uint64_t yj = y[j];
        if (yj == 0) continue;
        uint64_t carry = 0;
        for (int i = 0; i < wa; ++i) {
            uint64_t t = x[i] * yj + z[i + j] + carry;
            z[i + j] = uint32_t(t);
            carry = t >> 32;
        }
        z[j + wa] = uint32_t(carry);
    }
    c->wds = wa + wb;
    trim(c);
    return c;
}

// b * 5^k. The powers are built for this call only: 5, 25 or 125 for the
// low two bits of k, then 625 squared repeatedly for the rest.
Bigint* mul_pow5(Bigint* b, int k) {
    static constexpr uint32_t low[3] = {5, 25, 125};
    if ((k & 3) != 0) b = mul_small(b, low[(k & 3) - 1], 0);
    k >>= 2;
    if (k == 0) return b;
    Bigint* p = from_u64(625);
    for (;;) {
        if ((k & 1) != 0) {
            Bigint* t = mul(b, p);
            bfree(b);
            b = t;
        }
        k >>= 1;
        if (k == 0) break;
        Bigint* sq = mul(p, p);
        bfree(p);
        p = sq;
    }
    bfree(p);
    return b;
}

Bigint* shl(Bigint* b, int n) {
    if (n <= 0 || b->wds == 0) return b;
    int nw = n >> 5;
    int bs = n & 31;
    int old = b->wds;
    int wds = old + nw + (bs != 0 ? 1 : 0);
    b = grow(b, wds);
    uint32_t* x = words(b);
    if (bs == 0) {
        for (int i = old - 1; i >= 0; --i) x[i + nw] = x[i];
    } else {
        x[old + nw] = x[old - 1] >> (32 - bs);
        for (int i = old - 1; i > 0; --i)
            x[i + nw] = (x[i] << bs) | (x[i - 1] >> (32 - bs));
        x[nw] = x[0] << bs;
    }
    for (int i = 0; i < nw; ++i) x[i] = 0;
    b->wds = wds;
    trim(b);
    return b;
}

int cmp(const Bigint* a, const Bigint* b) {
    if (a->wds != b->wds) return a->wds < b->wds ? -1 : 1;
    const uint32_t* x = words(a);
    const uint32_t* y = words(b);
    for (int i = a->wds - 1; i >= 0; --i) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

// a -= b, where a >= b.
void sub_in_place(Bigint* a, const Bigint* b) {
    uint32_t* x = words(a);
    const uint32_t* y = words(b);
    uint64_t borrow = 0;
    for (int i = 0; i < a->wds; ++i) {
        uint64_t t = uint64_t(x[i]) - (i < b->wds ? y[i] : 0) - borrow;
        x[i] = uint32_t(t);
        borrow = (t >> 32) & 1;
    }
    trim(a);
}

Bigint* add(const Bigint* a, const Bigint* b) {
    if (a->wds < b->wds) std::swap(a, b);
    Bigint* c = balloc_words(a->wds + 1);
    uint32_t* z = words(c);
    const uint32_t* x = words(a);
    const uint32_t* y = words(b);
    uint64_t carry = 0;
    for (int i = 0; i < a->wds; ++i) {
        uint64_t t = uint64_t(x[i]) + (i < b->wds ? y[i] : 0) + carry;
        z[i] = uint32_t(t);
        carry = t >> 32;
    }
    z[a->wds] = uint32_t(carry);
    c->wds = a->wds + 1;
    trim(c);
    return c;
}

int bitlen(const Bigint* b) {
    if (b->wds == 0) return 0;
    return 32 * (b->wds - 1) + int(std::bit_width(words(b)[b->wds - 1]));
}

// floor(r / s) for r < 10 s, leaving the remainder in r. s must be
// normalised so that its top word lies in [2^27, 2^28): then r has no more
// words than s and the estimate from the top words is at most one short.
int quorem(Bigint* r, const Bigint* s) {
    int n = s->wds;
    if (r->wds < n) return 0;
    uint32_t* x = words(r);
    const uint32_t* y = words(s);
    uint64_t q = x[n - 1] / (uint64_t(y[n - 1]) + 1);
    if (q != 0) {
        uint64_t carry = 0;
        uint64_t borrow = 0;
        for (int i = 0; i < n; ++i) {
            uint64_t prod = uint64_t(y[i]) * q + carry;
            carry = prod >> 32;
            uint64_t t = uint64_t(x[i]) - (prod & 0xFFFFFFFFULL) - borrow;
            x[i] = uint32_t(t);
            borrow = (t >> 32) & 1;
        }
        trim(r);
    }
    if (cmp(r, s) >= 0) {
        ++q;
        sub_in_place(r, s);
    }
    return int(q);
}

// ---------------------------------------------------------------------------
// Digit generation, shared by the 128-bit and the bigint representation.

using u128 = unsigned __int128;

struct WideOps {
    using Num = u128;
    static void mul10(Num& x) { x *= 10; }
    static int cmp(Num a, Num b) { return a < b ? -1 : (a > b ? 1 : 0); }
    static int cmp_sum(Num a, Num b, Num c) { return cmp(a + b, c); }
    static int quorem(Num& r, Num s) {
        int q = int(r / s);
        r %= s;
        return q;
    }
    static bool is_zero(Num x) { return x == 0; }
};

struct BigOps {
    using Num = Bigint*;
    static void mul10(Num& x) { x = mul_small(x, 10, 0); }
    static int cmp(Num a, Num b) { return floats::cmp(a, b); }
    static int cmp_sum(Num a, Num b, Num c) {
        Bigint* t = add(a, b);
        int result = floats::cmp(t, c);
        bfree(t);
        return result;
    }
    static int quorem(Num& r, Num s) { return floats::quorem(r, s); }
    static bool is_zero(Num x) { return x->wds == 0; }
};

// Adds one unit in the last of the n digits; a run of nines carries into the
// next place up, and all nines become "1" one decade higher.
int round_up(char* out, int n, bool* carry) {
    int i = n - 1;
    while (i >= 0 && out[i] == '9') --i;
    if (i < 0) {
        out[0] = '1';
        *carry = true;
        return 1;
    }
    ++out[i];
    return i + 1;
}

int strip_zeros(const char* out, int n) {
    while (n > 1 && out[n - 1] == '0') --n;
    return n;
}

// Shortest digits of r/s (in [1, 10)) that stay within the rounding interval
// [r - mlo, r + mhi] (bounds included when the significand is even, because
// reading rounds ties to even). When both the truncated and the incremented
// string qualify, the nearer one wins.
template <class Ops>
int shortest_digits(typename Ops::Num& r, typename Ops::Num& s,
                    typename Ops::Num& mlo, typename Ops::Num& mhi,
                    bool shared, bool inclusive, char* out, bool* carry) {
    int n = 0;
    for (;;) {
        int dig = Ops::quorem(r, s);
        int lo = Ops::cmp(r, mlo);
        int hi = Ops::cmp_sum(r, mhi, s);
        bool low_fits = inclusive ? lo <= 0 : lo < 0;
        bool high_fits = inclusive ? hi >= 0 : hi > 0;
        out[n++] = char('0' + dig);
        if (!low_fits && !high_fits) {
            Ops::mul10(r);
            Ops::mul10(mlo);
            if (shared) {
                mhi = mlo;
            } else {
                Ops::mul10(mhi);
            }
            continue;
        }
        bool up = high_fits;
        if (low_fits && high_fits) {
            // Exact ties cannot occur for doubles; even is the fallback.
            int c = Ops::cmp_sum(r, r, s);
            up = c > 0 || (c == 0 && (dig & 1) != 0);
        }
        if (up) n = round_up(out, n, carry);
        return strip_zeros(out, n);
    }
}

// count significant digits of r/s (in [1, 10)), rounded half to even.
template <class Ops>
int counted_digits(typename Ops::Num& r, typename Ops::Num& s, int count,
                   char* out, bool* carry) {
    int n = 0;
    for (;;) {
        int dig = Ops::quorem(r, s);
        out[n++] = char('0' + dig);
        if (Ops::is_zero(r)) break;
        if (n == count) {
            int c = Ops::cmp_sum(r, r, s);
            if (c > 0 || (c == 0 && (dig & 1) != 0)) n = round_up(out, n, carry);
            break;
        }
        Ops::mul10(r);
    }
    return strip_zeros(out, n);
}

// Integers below 2^53 are their own shortest representation: any string
// with fewer significant digits is a different integer, at least 1 away,
// while the neighbouring doubles are at most 1 away.
int integer_digits(uint64_t v, int count, char* out, int* exponent) {
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (int i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
    *exponent = n;
    if (count > 0 && count < n) {
        bool up;
        if (out[count] != '5') {
            up = out[count] > '5';
        } else {
            bool rest = false;
            for (int i = count + 1; i < n; ++i) rest = rest || out[i] != '0';
            up = rest || ((out[count - 1] - '0') & 1) != 0;
        }
        n = count;
        bool carry = false;
        if (up) n = round_up(out, n, &carry);
        if (carry) ++*exponent;
    }
    return strip_zeros(out, n);
}

u128 pow5_wide(int k) {
    u128 p = 1;
    while (k-- > 0) p *= 5;
    return p;
}

// Digits of the positive finite nonzero double with bits `mag`; returns the
// digit count and sets the exponent (value = 0.d1d2... x 10^exponent).
int convert(uint64_t mag, int count, char* out, int* exponent) {
    int biased = int(mag >> 52);
    uint64_t frac = mag & fraction_mask;
    uint64_t f = biased != 0 ? frac | hidden_bit : frac;
    int e = biased != 0 ? biased - 1075 : min_exponent;

    if (e <= 0 && e >= -52 && (f & ((1ULL << -e) - 1)) == 0)
        return integer_digits(f >> -e, count, out, exponent);

    bool shortest = count <= 0;
    // The gap below a power of two is half the gap above it.
    bool boundary = shortest && frac == 0 && biased > 1;
    int rb, sb, lb = 0, hb = 0;   // powers of two in r, s, mlo, mhi
    if (!shortest) {
        rb = e;
        sb = 0;
        lb = e;   // no margins; kept equal to rb so the shifts stay valid
        hb = e;
    } else if (boundary) {
        rb = e + 2;
        sb = 2;
        lb = e;
        hb = e + 1;
    } else {
        rb = e + 1;
        sb = 1;
        lb = e;
        hb = e;
    }
    // d lies in [2^top, 2^(top+1)), so floor(log10 d) is floor(top*log10 2)
    // or one more; start from the larger and step down if r < s.
    int top = e + int(std::bit_width(f)) - 1;
    int k = ((top * 78913) >> 18) + 1;
    int r5 = 0, s5 = 0;
    if (k >= 0) {
        s5 = k;
        sb += k;
    } else {
        r5 = -k;
        rb += r5;
        lb += r5;
        hb += r5;
    }
    int common = rb < sb ? rb : sb;
    common = lb < common ? lb : common;
    rb -= common;
    sb -= common;
    lb -= common;
    hb -= common;
    bool shared = lb == hb;
    bool inclusive = (f & 1) == 0;
    bool carry = false;
    int n;

    // s below 2^120 keeps every intermediate (10 r, r + mhi, 2 r) in range.
    if (sb + (s5 * 2322 + 999) / 1000 + 1 <= 120) {
        u128 p = pow5_wide(r5);
        u128 r = (u128(f) * p) << rb;
        u128 s = pow5_wide(s5) << sb;
        u128 mlo = p << lb;
        u128 mhi = p << hb;
        if (r < s) {
            --k;
            r *= 10;
            mlo *= 10;
            mhi *= 10;
        }
        n = shortest ? shortest_digits<WideOps>(r, s, mlo, mhi, shared,
                                                inclusive, out, &carry)
                     : counted_digits<WideOps>(r, s, count, out, &carry);
    } else {
        Bigint* s = mul_pow5(from_u64(1), s5);
        int shift = (28 - (bitlen(s) + sb) % 32 + 32) % 32;
        s = shl(s, sb + shift);
        Bigint* p = mul_pow5(from_u64(1), r5);
        Bigint* fb = from_u64(f);
        Bigint* r = shl(mul(fb, p), rb + shift);
        bfree(fb);
        Bigint* mlo = nullptr;
        Bigint* mhi = nullptr;
        if (shortest) {
            mlo = shl(p, lb + shift);
            mhi = shared ? mlo : shl(copy(mlo), hb - lb);
        } else {
            bfree(p);
        }
        if (cmp(r, s) < 0) {
            --k;
            r = mul_small(r, 10, 0);
            if (shortest) {
                mlo = mul_small(mlo, 10, 0);
                mhi = shared ? mlo : mul_small(mhi, 10, 0);
            }
        }
        n = shortest ? shortest_digits<BigOps>(r, s, mlo, mhi, shared,
                                               inclusive, out, &carry)
                     : counted_digits<BigOps>(r, s, count, out, &carry);
        bfree(r);
        bfree(s);
        bfree(mlo);
        if (!shared) bfree(mhi);
    }
    *exponent = k + 1 + (carry ? 1 : 0);
    return n;
}

void put(char* dst, const char* text) { std::memcpy(dst, text, std::strlen(text) + 1); }

// ---------------------------------------------------------------------------
// Reading.

constexpr double tens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                           1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                           1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr double bigtens[] = {1e16, 1e32, 1e64, 1e128, 1e256};
constexpr double tinytens[] = {1e-16, 1e-32, 1e-64, 1e-128, 1e-256};

// x * 10^p, only as a starting point: a few units in the last place off.
double scale_estimate(double x, int64_t p) {
    if (p >= 0) {
        if (p <= 22) return x * tens[p];
        x *= tens[p & 15];
        p >>= 4;
        for (int i = 0; p != 0 && i < 5; ++i, p >>= 1) {
            if ((p & 1) != 0) x *= bigtens[i];
        }
    } else {
        p = -p;
        if (p <= 22) return x / tens[p];
        x /= tens[p & 15];
        p >>= 4;
        for (int i = 0; p != 0 && i < 5; ++i, p >>= 1) {
            if ((p & 1) != 0) x *= tinytens[i];
        }
    }
    return x;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Beyond this many significant digits the rest can only break a tie (every
// midpoint between doubles has fewer), so they are folded into one nonzero
// digit.
constexpr int64_t max_exact_digits = 800;

// The exact decimal value D * 10^dexp, compared against M * 2^g.
struct Exact {
    Bigint* digits;   // D
    Bigint* scaled;   // D * 5^dexp when dexp >= 0, else 5^-dexp
    int64_t dexp;
};

int compare_exact(const Exact& v, uint64_t m, int g) {
    Bigint* b = from_u64(m);
    int c;
    if (v.dexp >= 0) {
        // D*5^dexp * 2^dexp  vs  M * 2^g
        int64_t t = v.dexp - g;
        if (t >= 0) {
            Bigint* a = shl(copy(v.scaled), int(t));
            c = cmp(a, b);
            bfree(a);
        } else {
            b = shl(b, int(-t));
            c = cmp(v.scaled, b);
        }
    } else {
        // D  vs  M * 5^q * 2^(g + q)
        Bigint* mp = mul(v.scaled, b);
        int64_t t = g - v.dexp;
        if (t >= 0) {
            mp = shl(mp, int(t));
            c = cmp(v.digits, mp);
        } else {
            Bigint* a = shl(copy(v.digits), int(-t));
            c = cmp(a, mp);
            bfree(a);
        }
        bfree(mp);
    }
    bfree(b);
    return c;
}

}  // namespace

void init() {
    for (Bigint*& head : freelist) head = nullptr;
}

const char* to_digits(double d, int count, int* decimal_exponent,
                      int* negative, int* digit_count, int fraction_flag) {
    char* const text = area + 1;
    uint64_t bits = std::bit_cast<uint64_t>(d);
    bool neg = (bits & sign_bit) != 0;
    uint64_t mag = bits & ~sign_bit;
    int exponent;
    if ((mag & exponent_mask) == exponent_mask) {
        exponent = special_exponent;
        if (mag != exponent_mask) neg = false;
        put(text, mag == exponent_mask ? "1.#INF" : "1.#NaN");
    } else if (mag == 0) {
        exponent = zero_exponent;
        put(text, fraction_flag != 0 ? "0.0" : "0");
    } else {
        int n = convert(mag, count > max_digits ? max_digits : count, text,
                        &exponent);
        text[n] = '\0';
    }
    if (decimal_exponent != nullptr) *decimal_exponent = exponent;
    if (negative != nullptr) *negative = neg ? 1 : 0;
    if (digit_count != nullptr) *digit_count = int(std::strlen(text));
    return neg ? area : text;
}

const char* form_text(double d, int count, int fraction_flag) {
    int e, neg, n;
    const char* result =
        to_digits(d, count > max_form_digits ? max_form_digits : count, &e,
                  &neg, &n, fraction_flag);
    if (e > 9997) return result;
    char* p = area + 1;
    int len;
    bool exponent_form = e > 17 || e < -6;
    if (exponent_form) {
        std::memmove(p + 2, p + 1, size_t(n - 1));
        p[1] = '.';
        len = n + 1;
    } else if (e >= 1) {
        if (e <= n) {
            std::memmove(p + e + 1, p + e, size_t(n - e));
            p[e] = '.';
            len = n + 1;
        } else {
            std::memset(p + n, '0', size_t(e - n));
            p[e] = '.';
            len = e + 1;
        }
    } else {
        int zeros = -e;
        std::memmove(p + 2 + zeros, p, size_t(n));
        p[0] = '0';
        p[1] = '.';
        std::memset(p + 2, '0', size_t(zeros));
        len = n + 2 + zeros;
    }
    if (p[len - 1] == '.') {
        if (fraction_flag != 0) {
            p[len++] = '0';
        } else {
            --len;
        }
    }
    if (exponent_form) {
        p[len++] = 'e';
        int x = e - 1;
        if (x < 0) {
            p[len++] = '-';
            x = -x;
        }
        char tmp[8];
        int t = 0;
        do {
            tmp[t++] = char('0' + x % 10);
            x /= 10;
        } while (x != 0);
        while (t > 0) p[len++] = tmp[--t];
    }
    p[len] = '\0';
    return neg != 0 ? area : p;
}

double parse_text(const char* start, const char* end, int exponent_offset,
                  int* unconsumed) {
    const char* p = start;
    bool neg = false;
    if (p < end && (*p == '+' || *p == '-')) {
        neg = *p == '-';
        ++p;
    }
    bool any = false;
    while (p < end && *p == '0') {
        ++p;
        any = true;
    }
    const char* int_start = p;
    int64_t nd0 = 0;   // significant digits before the point
    while (p < end && is_digit(*p)) {
        ++p;
        ++nd0;
    }
    any = any || nd0 > 0;
    const char* frac_start = p;
    int64_t nz = 0;   // zeros right after the point when nothing precedes it
    int64_t nf = 0;   // fraction digits from frac_start on
    if (p < end && *p == '.') {
        ++p;
        if (nd0 == 1 && p < end && *p == '#' && end - p >= 2) {
            char c = p[1];
            if (c == 'I' || c == 'i' || c == 'N' || c == 'n') {
                if (unconsumed != nullptr) *unconsumed = 0;
                if (c == 'N' || c == 'n') return std::bit_cast<double>(quiet_nan);
                double inf = std::bit_cast<double>(exponent_mask);
                return neg ? -inf : inf;
            }
        }
        if (nd0 == 0) {
            while (p < end && *p == '0') {
                ++p;
                ++nz;
                any = true;
            }
        }
        frac_start = p;
        while (p < end && is_digit(*p)) {
            ++p;
            ++nf;
            any = true;
        }
    }
    if (!any) {
        if (unconsumed != nullptr) *unconsumed = int(end - start);
        return 0.0;
    }
    int64_t written_exp = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        bool eneg = false;
        if (q < end && (*q == '+' || *q == '-')) {
            eneg = *q == '-';
            ++q;
        }
        if (q < end && is_digit(*q)) {
            // Saturating: anything this large is already out of range.
            while (q < end && is_digit(*q)) {
                if (written_exp < 100000000000LL)
                    written_exp = written_exp * 10 + (*q - '0');
                ++q;
            }
            if (eneg) written_exp = -written_exp;
            p = q;
        }
    }
    if (unconsumed != nullptr) *unconsumed = int(end - p);

    auto digit_at = [&](int64_t i) -> int {
        return (i < nd0 ? int_start[i] : frac_start[i - nd0]) - '0';
    };
    int64_t nd = nd0 + nf;
    int64_t dexp = written_exp + exponent_offset - nf - nz;
    while (nd > 0 && digit_at(nd - 1) == 0) {
        --nd;
        ++dexp;
    }
    double value;
    if (nd == 0 || nd + dexp < -324) {
        value = 0.0;   // below 10^-325: under half the smallest subnormal
    } else if (nd + dexp > 310) {
        value = std::bit_cast<double>(exponent_mask);   // at least 10^310
    } else {
        bool folded = nd > max_exact_digits;
        if (folded) {
            dexp += nd - (max_exact_digits + 1);
            nd = max_exact_digits + 1;
        }
        auto digit = [&](int64_t i) -> int {
            return folded && i == max_exact_digits ? 1 : digit_at(i);
        };
        int64_t lead = nd < 19 ? nd : 19;
        uint64_t head = 0;
        for (int64_t i = 0; i < lead; ++i) head = head * 10 + uint64_t(digit(i));

        if (nd <= 15 && dexp >= -22 && dexp <= 22 + 15 - nd) {
            // One correctly rounded operation on exact operands.
            double x = double(head);
            if (dexp < 0) {
                value = x / tens[-dexp];
            } else if (dexp <= 22) {
                value = x * tens[dexp];
            } else {
                value = (x * tens[dexp - 22]) * tens[22];
            }
        } else {
            double guess = scale_estimate(double(head), dexp + nd - lead);
            uint64_t gbits = std::bit_cast<uint64_t>(guess);
            uint64_t m;
            int e;
            if ((gbits & exponent_mask) == exponent_mask) {
                m = (1ULL << 53) - 1;
                e = max_exponent;
            } else if ((gbits & exponent_mask) == 0) {
                m = gbits & fraction_mask;
                e = min_exponent;
            } else {
                m = (gbits & fraction_mask) | hidden_bit;
                e = int(gbits >> 52) - 1075;
            }

            Exact v{};
            v.dexp = dexp;
            v.digits = from_u64(0);
            for (int64_t i = 0; i < nd;) {
                uint32_t chunk = 0;
                uint32_t scale = 1;
                for (int j = 0; j < 9 && i < nd; ++j, ++i) {
                    chunk = chunk * 10 + uint32_t(digit(i));
                    scale *= 10;
                }
                v.digits = mul_small(v.digits, scale, chunk);
            }
            v.scaled = dexp >= 0 ? mul_pow5(copy(v.digits), int(dexp))
                                 : mul_pow5(from_u64(1), int(-dexp));

            // Walk to the double whose rounding interval holds the value;
            // exact midpoints go to the even significand.
            bool overflow = false;
            int dir = 0;
            for (;;) {
                if (dir >= 0) {
                    int c = compare_exact(v, 2 * m + 1, e - 1);
                    if (c > 0 || (c == 0 && (m & 1) != 0)) {
                        dir = 1;
                        if (++m == 1ULL << 53) {
                            m = hidden_bit;
                            if (++e > max_exponent) {
                                overflow = true;
                                break;
                            }
                        }
                        continue;
                    }
                    if (dir == 1) break;
                }
                if (m == 0) break;
                int c = m == hidden_bit && e > min_exponent
                            ? compare_exact(v, 4 * m - 1, e - 2)
                            : compare_exact(v, 2 * m - 1, e - 1);
                if (c < 0 || (c == 0 && (m & 1) != 0)) {
                    dir = -1;
                    if (--m < hidden_bit && e > min_exponent) {
                        m = (1ULL << 53) - 1;
                        --e;
                    }
                    continue;
                }
                break;
            }
            bfree(v.digits);
            bfree(v.scaled);
            uint64_t rbits;
            if (overflow) {
                rbits = exponent_mask;
            } else if (m >= hidden_bit) {
                rbits = (uint64_t(e + 1075) << 52) | (m & fraction_mask);
            } else {
                rbits = m;
            }
            value = std::bit_cast<double>(rbits);
        }
    }
    // Negated, not subtracted from zero: -0.0 and an underflow such as
    // -1e-400 keep their sign.
    return neg ? -value : value;
}

}  // namespace vum::floats
