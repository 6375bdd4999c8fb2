#pragma once

#include <QtGlobal>

#include <optional>
#include <utility>

// The last input of a conversion and what it gave, handed out again while the
// same input comes back: a stored record mostly holds what it held the command
// before. Only what is small is kept, so that one large record does not stay
// in memory for the life of the process. Not shared between threads.
template <typename Input, typename Output> class Memo
{
public:
    // What a kept input and its output may weigh, in bytes of their text: the
    // records read and written at every command stay well within it.
    static constexpr qsizetype kMaxBytes = 64 * 1024;

    // The output for the input: the kept one when `same` tells the kept input
    // is this one, else `make(input)`, kept when `bytes(input, output)` is
    // within the bound.
    template <typename Same, typename Make, typename Bytes>
    Output operator()(const Input& input, Same&& same, Make&& make, Bytes&& bytes)
    {
        if (m_kept && same(m_kept->first, input))
            return m_kept->second;
        Output output = make(input);
        m_keptBytes = bytes(input, output);
        if (m_keptBytes <= kMaxBytes)
            m_kept.emplace(input, output);
        else
            clear();
        return output;
    }

    // What the kept input and output weigh; 0 when nothing is kept.
    qsizetype keptBytes() const { return m_kept ? m_keptBytes : 0; }
    void clear()
    {
        m_kept.reset();
        m_keptBytes = 0;
    }

private:
    std::optional<std::pair<Input, Output>> m_kept;
    qsizetype m_keptBytes = 0;
};
