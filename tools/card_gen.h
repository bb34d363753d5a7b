// Card data for the reader simulator: track-2 style records that look like what a
// real magnetic stripe gives, reproducible from a seed so that a run can be repeated.
#ifndef DREMLIX_CARD_GEN_H
#define DREMLIX_CARD_GEN_H

#include <cstddef>
#include <cstdint>
#include <string>

// Our own generator rather than <random>: the standard distributions are not required
// to give the same numbers on every library, and a seed must mean the same cards
// everywhere.
struct CardRandom {
    std::uint64_t state;
};

void seed_rng(CardRandom &rng, std::uint64_t seed);
std::uint64_t next_random(CardRandom &rng);
// Uniform in [0, bound); bound 0 gives 0.
unsigned random_below(CardRandom &rng, unsigned bound);
// Uniform in [low, high].
unsigned random_between(CardRandom &rng, unsigned low, unsigned high);

// Digits only; false for an empty string or any non-digit.
bool luhn_valid(const std::string &digits);
// The digit that makes partial + digit pass the Luhn check.
char luhn_check_digit(const std::string &partial);

// A primary account number with a real issuer prefix and a length that goes with it
// (14 to 19 digits), ending in a correct check digit.
std::string make_pan(CardRandom &rng);

// Track-2 body without sentinels: PAN '=' YYMM expiry, 3-digit service code and
// discretionary digits, never longer than the 37 characters the track allows.
std::string make_track2_body(CardRandom &rng);

// Longest body a real track 2 carries between its sentinels.
constexpr std::size_t Track2MaxBody = 37;

// Line garbage to put between records: never contains the start or end sentinel,
// so it cannot open or close a record by itself.
std::string make_noise(CardRandom &rng, std::size_t length);

// A body longer than a reader would ever send (OverlongShortest to OverlongLongest
// characters), made of track characters so that only its length is wrong.
const unsigned OverlongShortest = 65;
const unsigned OverlongLongest = 120;
std::string make_overlong_body(CardRandom &rng);

// ';' + body + '?'
std::string frame_record(const std::string &body);

#endif
