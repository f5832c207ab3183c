// Random short texts for property tests.
#ifndef TESTS_SMARTX_JOB_RANDOM_TEXT_H
#define TESTS_SMARTX_JOB_RANDOM_TEXT_H

#include <cstring>
#include <string>

// Up to max_len characters drawn from alphabet (which should hold the
// characters JSON must escape, so that writers and readers are exercised).
template <class Rng>
std::string random_text(Rng& rng, const char* alphabet, size_t max_len) {
    const size_t n = std::strlen(alphabet);
    std::string s;
    for (size_t len = rng() % (max_len + 1); len > 0; --len)
        s += alphabet[rng() % n];
    return s;
}

// One to three random edits of a JSON text: a byte overwritten, a few bytes
// cut, a JSON token character inserted, or a piece of the text repeated.
// Never returns an empty text.
template <class Rng>
std::string mutate_json_text(std::string text, Rng& rng) {
    static const char tokens[] = "\"{}[],:-.eE019tfn \\";
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
        if (text.empty())
            text = "{";
        const size_t at = rng() % text.size();
        switch (rng() % 4) {
            case 0:
                text[at] = static_cast<char>(rng());
                break;
            case 1:
                text.erase(at, 1 + rng() % 6);
                break;
            case 2:
                text.insert(at, 1, tokens[rng() % (sizeof tokens - 1)]);
                break;
            default:
                text.insert(at, text.substr(rng() % text.size(), rng() % 12));
                break;
        }
    }
    return text.empty() ? std::string("{") : text;
}

#endif
