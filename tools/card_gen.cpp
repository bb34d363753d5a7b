#include "card_gen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Issuer prefix ranges with the lengths those Issuers really use; the weights make a
// batch look like a till's mix rather than an even spread of brands.
struct IssuerRange {
    const char *low;
    const char *high;
    unsigned length;
    unsigned weight;
};

const IssuerRange Issuers[] = {
    {"4", "4", 16, 30},      // Visa
    {"4", "4", 19, 3},       // Visa, long PAN
    {"51", "55", 16, 18},    // Mastercard
    {"2221", "2720", 16, 6}, // Mastercard, 2-series
    {"34", "34", 15, 5},     // American Express
    {"37", "37", 15, 5},     // American Express
    {"6011", "6011", 16, 4}, // Discover
    {"644", "649", 16, 2},   // Discover
    {"65", "65", 16, 2},     // Discover
    {"3528", "3589", 16, 4}, // JCB
    {"36", "36", 14, 2},     // Diners Club International
    {"300", "305", 14, 1},   // Diners Club Carte Blanche
    {"62", "62", 19, 4},     // UnionPay
    {"6759", "6759", 19, 2}, // Maestro UK
    {"5018", "5018", 19, 1}, // Maestro
};

const char *const ServiceCodes[] = {"101", "201", "121", "221", "226", "120", "501", "520"};

// Expiry years (two digits) of cards still in use.
const unsigned FirstExpiryYear = 26;
const unsigned LastExpiryYear = 32;

// Noise is any byte value but the sentinels.
const unsigned ByteValues = 256;

// About one character in this many of an overlong body is a field separator.
const unsigned FieldSeparatorOdds = 12;

std::string random_digits(CardRandom &rng, std::size_t count) {
    std::string digits;
    for (std::size_t i = 0; i < count; ++i) {
        digits += static_cast<char>('0' + random_below(rng, 10));
    }
    return digits;
}

std::string pick_prefix(CardRandom &rng, const IssuerRange &range) {
    const unsigned width = static_cast<unsigned>(std::strlen(range.low));
    const unsigned low = static_cast<unsigned>(std::strtoul(range.low, nullptr, 10));
    const unsigned high = static_cast<unsigned>(std::strtoul(range.high, nullptr, 10));
    char text[16];
    std::snprintf(text, sizeof text, "%0*u", static_cast<int>(width),
                  random_between(rng, low, high));
    return text;
}

const IssuerRange &pick_issuer(CardRandom &rng) {
    unsigned total = 0;
    for (const IssuerRange &range : Issuers) {
        total += range.weight;
    }
    unsigned ticket = random_below(rng, total);
    for (const IssuerRange &range : Issuers) {
        if (ticket < range.weight) {
            return range;
        }
        ticket -= range.weight;
    }
    return Issuers[0];
}

} // namespace

void seed_rng(CardRandom &rng, std::uint64_t seed) {
    rng.state = seed;
}

// splitmix64: small, fast, and every seed (0 included) gives a usable stream.
std::uint64_t next_random(CardRandom &rng) {
    rng.state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = rng.state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

unsigned random_below(CardRandom &rng, unsigned bound) {
    if (bound == 0) {
        return 0;
    }
    // Multiply-shift keeps the bias far below anything a test could notice for the
    // small bounds used here.
    return static_cast<unsigned>(((next_random(rng) >> 32) * bound) >> 32);
}

unsigned random_between(CardRandom &rng, unsigned low, unsigned high) {
    if (high <= low) {
        return low;
    }
    return low + random_below(rng, high - low + 1);
}

namespace {

// The Luhn sum: from the right, every second digit doubled (less 9 when over 9). False when
// a character is not a digit.
bool luhn_sum(const std::string &digits, unsigned &sum) {
    sum = 0;
    bool doubled = false;
    for (std::size_t i = digits.size(); i-- > 0;) {
        const char c = digits[i];
        if (c < '0' || c > '9') {
            return false;
        }
        unsigned value = static_cast<unsigned>(c - '0');
        if (doubled) {
            value *= 2;
            if (value > 9) {
                value -= 9;
            }
        }
        sum += value;
        doubled = !doubled;
    }
    return true;
}

} // namespace

bool luhn_valid(const std::string &digits) {
    unsigned sum = 0;
    return !digits.empty() && luhn_sum(digits, sum) && sum % 10 == 0;
}

char luhn_check_digit(const std::string &partial) {
    // With a zero appended the partial digits sit in their final positions, so the
    // sum tells directly how far the check digit has to move it.
    unsigned sum = 0;
    luhn_sum(partial + '0', sum);
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

std::string make_pan(CardRandom &rng) {
    const IssuerRange &issuer = pick_issuer(rng);
    std::string pan = pick_prefix(rng, issuer);
    pan += random_digits(rng, issuer.length - 1 - pan.size());
    pan += luhn_check_digit(pan);
    return pan;
}

std::string make_track2_body(CardRandom &rng) {
    std::string body = make_pan(rng);
    char expiry[8];
    std::snprintf(expiry, sizeof expiry, "%02u%02u",
                  random_between(rng, FirstExpiryYear, LastExpiryYear), random_between(rng, 1, 12));
    body += '=';
    body += expiry;
    body += ServiceCodes[random_below(rng, sizeof ServiceCodes / sizeof ServiceCodes[0])];
    const std::size_t room = Track2MaxBody - body.size();
    body += random_digits(
        rng, random_between(rng, static_cast<unsigned>(room / 2), static_cast<unsigned>(room)));
    return body;
}

std::string make_noise(CardRandom &rng, std::size_t length) {
    std::string noise;
    while (noise.size() < length) {
        const char c = static_cast<char>(random_below(rng, ByteValues));
        if (c != ';' && c != '?') {
            noise += c;
        }
    }
    return noise;
}

std::string make_overlong_body(CardRandom &rng) {
    const unsigned length = random_between(rng, OverlongShortest, OverlongLongest);
    std::string body;
    while (body.size() < length) {
        body += random_below(rng, FieldSeparatorOdds) == 0
                    ? '='
                    : static_cast<char>('0' + random_below(rng, 10));
    }
    return body;
}

std::string frame_record(const std::string &body) {
    return ';' + body + '?';
}
