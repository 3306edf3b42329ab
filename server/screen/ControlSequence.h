#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringBuilder>
#include <array>
#include <cstdint>

// One escape sequence as the scanner completed it: ESC, its intermediate bytes
// (0x20-0x2F) and its final byte. CSI sequences come as CsiSequence instead.
struct EscapeSequence
{
    QByteArrayView intermediates;
    char finalByte = 0;
    QByteArrayView raw;  // every byte from ESC to the final byte

    bool Is(char final, QByteArrayView inter = {}) const
    {
        return finalByte == final && intermediates == inter;
    }
};

// One control sequence introduced by ESC [: an optional private leader ('<', '=', '>'
// or '?'), numeric parameters with their colon-separated subparameters, intermediate
// bytes and the final byte.
struct CsiSequence
{
    static constexpr int kMaxParameters = 48;
    static constexpr int kMissing = -1;
    // Values past this are kept at it: no terminal counts rows, columns or colours so far.
    static constexpr int kMaxValue = 99999;

    char leader = 0;
    QByteArrayView intermediates;
    char finalByte = 0;
    QByteArrayView raw;  // every byte from ESC to the final byte

    // Parameters and subparameters in order; followedBySub marks one whose next entry
    // is its subparameter (a colon came between them).
    struct Parameter
    {
        int value = kMissing;
        bool followedBySub = false;
    };
    std::array<Parameter, kMaxParameters> parameters{};
    int count = 0;  // entries used, subparameters included

    // The plain parameter at index i (subparameters counted as entries), or fallback
    // when it is missing, zero where zero means the default, or absent.
    int Value(int i, int fallback) const
    {
        if (i >= count || parameters[i].value == kMissing) {
            return fallback;
        }
        return parameters[i].value;
    }
    // As Value, for parameters where 0 also means the default (counts, positions).
    int Count(int i, int fallback = 1) const
    {
        const int v = Value(i, fallback);
        return v == 0 ? fallback : v;
    }
    bool HasSubparameters() const
    {
        for (int i = 0; i < count; ++i) {
            if (parameters[i].followedBySub) {
                return true;
            }
        }
        return false;
    }
    bool Is(char final, char lead = 0, QByteArrayView inter = {}) const
    {
        return finalByte == final && leader == lead && intermediates == inter;
    }
};

// Escape sequences the model writes. (A string "\x1b7" would read as one hex escape.)
namespace Esc {
inline constexpr char kSaveCursor[] = {'\x1b', '7', '\0'};     // DECSC
inline constexpr char kRestoreCursor[] = {'\x1b', '8', '\0'};  // DECRC
inline constexpr char kReset[] = {'\x1b', 'c', '\0'};          // RIS
}  // namespace Esc

// How a sequence reads in a message: control bytes by name, the rest as they are
// ("ESC [ ? 69 h").
QByteArray DescribeSequence(QByteArrayView raw);
