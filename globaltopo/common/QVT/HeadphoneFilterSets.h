// The headphone engine's fixed filter sets: 27 head sets (internal room 1..3 by nine set ids) of ten
// 1024-sample responses, 9 room tails of two responses each, and 10 cross-talk-cancellation tables
// (a direct and a cross table of 256 taps for each of 5, 10, 15, 20 and 30 degrees). The sets are
// generated sample by sample from a few parameters per set, so they cost no image space and the
// engine reads exactly the pieces it transforms.
#pragma once

#include <win/ntdef.h>

constexpr LONG HeadphoneSetCount = 9;
constexpr LONG HeadphoneHeadResponses = 10;  // response 2g + e: group g (L, R, C, LS, RS), ear e (L, R)
constexpr LONG HeadphoneHeadLength = 1024;   // samples
constexpr LONG HeadphoneTailResponses = 2;   // left ear, right ear
constexpr LONG HeadphoneMaxTailLength = 7168;  // samples
constexpr LONG HeadphoneCtcTaps = 256;
constexpr LONG HeadphoneCtcAngleCount = 5;

// Position 0..8 of a set id among 24, 25, 29, 30, 31, 34, 35, 39, 40; -1 for any other.
LONG HeadphoneSetIndex(LONG setId);

// Tail set 0..8 of (internal room 1..3, set id), and its length in samples: within a room the even
// ids (24, 29, 34, 39) share one tail, the odd ids (25, 30, 35, 40) another, id 31 a third.
LONG HeadphoneTailSet(LONG room, LONG setId, LONG* tailLength);

// Samples [first, first + count) of a head response of the set (room 1..3, one of the nine ids).
void HeadphoneHeadSamples(LONG room, LONG setId, LONG response, LONG first, LONG count, float* dst);
// Samples [first, first + count) of a tail response.
void HeadphoneTailSamples(LONG tailSet, LONG ear, LONG first, LONG count, float* dst);

// Index 0..4 of a CTC angle among 5, 10, 15, 20, 30 degrees; -1 for any other.
LONG HeadphoneCtcAngleIndex(LONG degrees);
// Tap 0..255 of the direct (table 0, "a") or cross (table 1, "b") CTC table of an angle index.
float HeadphoneCtcTap(LONG angleIndex, LONG table, LONG tap);
