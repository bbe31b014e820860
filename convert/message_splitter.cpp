#include "message_splitter.h"

#include "envelope_line.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace tovaly {

namespace {

constexpr std::string_view kFromSpace = "From ";
constexpr std::string_view kOperaStatus = "X-Opera-Status:";
// Only pages that get written cost memory, so a source that holds many small
// messages loses nothing by this reserve.
constexpr std::size_t kMaxUpFrontReserve = std::size_t{1} << 30;
constexpr std::size_t kMinGrowth = 4096;

// "From : x" is an old-style header field, not an envelope line.
bool IsHeaderField(std::string_view line)
{
    std::size_t i = 4;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    return i < line.size() && line[i] == ':';
}

// Where the line after the line end at `eol` starts. The LF of a CR LF may
// be the first byte of the next chunk: then `lfMayFollow` is set.
const char *AfterLineEnd(const char *eol, const char *end, bool &lfMayFollow)
{
    const char *next = eol + 1;
    if (*eol == '\r') {
        if (next < end && *next == '\n')
            ++next;
        else if (next == end)
            lfMayFollow = true;
    }
    return next;
}

} // namespace

MessageSplitter::MessageSplitter(Sink sink, LineEnds lineEnds, std::uint64_t expectedSize, LineCounted lineCounted)
    : m_sink(std::move(sink)), m_lineCounted(std::move(lineCounted)), m_lineEnd(LineEndText(lineEnds))
{
    const std::uint64_t wanted = expectedSize + expectedSize / 16 + 64;
    try {
        Reserve(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, kMaxUpFrontReserve)));
    } catch (const std::bad_alloc &) {
        // Not that much at once: the buffer grows as the text comes.
    }
}

bool MessageSplitter::Feed(std::string_view chunk)
{
    if (m_stopped)
        return false;
    if (chunk.empty())
        return true;
    const char *p = chunk.data();
    const char *const end = p + chunk.size();
    if (m_skipLf) {
        m_skipLf = false;
        if (*p == '\n')
            ++p;
    }
    m_countFrom = p;
    const std::size_t endingLength = m_lineEnd.size();
    while (p < end) {
        if (m_size == m_lineStart && m_prefix == Prefix::Open && !m_pending && m_form != Form::Mailbox) {
            p = CopyPlainLines(p, end);
            if (p == end)
                break;
        }
        const char *const eol = FindLineEnd(p, end);
        if (eol == end) {
            Append(p, static_cast<std::size_t>(end - p));
            if (NeedsInspection())
                Inspect(0, false);
            break;
        }
        Append(p, static_cast<std::size_t>(eol - p));
        AppendLineEnd();
        const char *next = AfterLineEnd(eol, end, m_skipLf);
        if (*eol == '\r')
            CountLineEndingAt(eol, next);
        p = next;

        if (m_pending || m_form == Form::Mailbox) {
            Inspect(endingLength, true);
        } else if (m_prefix == Prefix::Open) {
            // Most lines are settled by their first byte.
            if (m_size - endingLength > m_lineStart && m_data[m_lineStart] != '>' && m_data[m_lineStart] != 'F')
                m_prefix = Prefix::Plain;
            else
                Inspect(endingLength, true);
        }
        if (m_stopped)
            return false;
        EndLine(endingLength);
        if (m_stopped)
            return false;
    }
    m_countCarry += static_cast<std::uint64_t>(end - m_countFrom);
    m_countFrom = nullptr;
    return !m_stopped;
}

void MessageSplitter::CountLineEndingAt(const char *cr, const char *next)
{
    m_bytesSoFar += m_countCarry + static_cast<std::uint64_t>(cr - m_countFrom) + 2;
    m_countCarry = 0;
    m_countFrom = next;
    if (m_lineCounted)
        m_lineCounted(m_bytesSoFar);
}

// Copies the run of lines at `p` that need no quoting and decide nothing in
// one go, their line ends written as the splitter's; returns where that run
// ends.
const char *MessageSplitter::CopyPlainLines(const char *p, const char *end)
{
    if (m_lineEnd.size() == 1)
        return CopyPlainLinesAsLf(p, end);
    const char *copyFrom = p;
    while (p < end) {
        const char first = *p;
        if (first == '>' || first == 'F')
            break;
        const char *const eol = first == '\r' || first == '\n' ? p : FindLineEnd(p, end);
        if (eol == end)
            break;
        const std::size_t lineOffset = m_size + static_cast<std::size_t>(p - copyFrom);
        const char *next = AfterLineEnd(eol, end, m_skipLf);
        if (*eol == '\r')
            CountLineEndingAt(eol, next);
        if (static_cast<std::size_t>(next - eol) != m_lineEnd.size() || *eol != m_lineEnd.front()) {
            Append(copyFrom, static_cast<std::size_t>(eol - copyFrom));
            AppendLineEnd();
            copyFrom = next;
        }
        if (eol == p) {
            if (m_headerEnd == std::string_view::npos)
                m_headerEnd = lineOffset + m_lineEnd.size();
            m_previousEmpty = true;
            m_emptyStart = lineOffset;
        } else {
            m_previousEmpty = false;
        }
        if (m_firstLine) {
            m_firstLine = false;
            m_form = Form::Message;
        }
        p = next;
    }
    Append(copyFrom, static_cast<std::size_t>(p - copyFrom));
    m_lineStart = m_size;
    return p;
}

// CopyPlainLines for text written with LF, the loop a conversion spends most
// of its time in. Written with LF the text never grows, so there is room for
// all of it at once (and 16 bytes more, for the copy below to store whole
// blocks). Each line is copied as it is looked for its end, 16 bytes at a
// time. The state lives in locals while the loop runs: every byte stored
// through the buffer could otherwise be a store to a member as far as the
// compiler knows.
const char *MessageSplitter::CopyPlainLinesAsLf(const char *p, const char *end)
{
    Reserve(m_size + static_cast<std::size_t>(end - p) + 16);
    char *const out = m_data.get();
    std::size_t size = m_size;
    std::uint64_t bytesSoFar = m_bytesSoFar;
    std::uint64_t countCarry = m_countCarry;
    const char *countFrom = m_countFrom;
    std::size_t headerEnd = m_headerEnd;
    std::size_t emptyStart = m_emptyStart;
    bool previousEmpty = m_previousEmpty;
    bool anyLine = false;
    bool skipLf = false;
    const bool counted = static_cast<bool>(m_lineCounted);
    while (p < end) {
        const char first = *p;
        if (first == '>' || first == 'F')
            break;
        const std::size_t lineStart = size;
        const char *eol = p;
        if (first != '\r' && first != '\n') {
            for (;;) {
#if defined(__SSE2__)
                if (end - eol >= 16) {
                    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(eol));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + size), bytes);
                    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
                        _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')))));
                    if (mask != 0) {
                        eol += std::countr_zero(mask);
                        break;
                    }
                    eol += 16;
                    size += 16;
                    continue;
                }
#endif
                // The last bytes of the chunk, or every byte without SSE2.
                const char *const rest = eol;
                eol = FindLineEnd(eol, end);
                std::memcpy(out + size, rest, static_cast<std::size_t>(eol - rest));
                break;
            }
            size = lineStart + static_cast<std::size_t>(eol - p);
            if (eol == end) {
                size = lineStart; // an unfinished line is left to the caller
                break;
            }
        }
        out[size++] = '\n';
        const char *const next = AfterLineEnd(eol, end, skipLf);
        if (*eol == '\r') {
            bytesSoFar += countCarry + static_cast<std::uint64_t>(eol - countFrom) + 2;
            countCarry = 0;
            countFrom = next;
            if (counted)
                m_lineCounted(bytesSoFar);
        }
        if (eol == p) {
            if (headerEnd == std::string_view::npos)
                headerEnd = lineStart + 1;
            previousEmpty = true;
            emptyStart = lineStart;
        } else {
            previousEmpty = false;
        }
        anyLine = true;
        p = next;
    }
    if (anyLine && m_firstLine) {
        m_firstLine = false;
        m_form = Form::Message;
    }
    m_size = size;
    m_lineStart = size;
    m_bytesSoFar = bytesSoFar;
    m_countCarry = countCarry;
    m_countFrom = countFrom;
    m_headerEnd = headerEnd;
    m_emptyStart = emptyStart;
    m_previousEmpty = previousEmpty;
    if (skipLf)
        m_skipLf = true;
    return p;
}

bool MessageSplitter::Finish()
{
    if (m_stopped)
        return false;
    m_skipLf = false;
    if (m_countCarry > 0) {
        m_bytesSoFar += m_countCarry + 2;
        m_countCarry = 0;
        if (m_lineCounted)
            m_lineCounted(m_bytesSoFar);
    }
    if (m_size > m_lineStart || m_lineIsCandidate) {
        if (NeedsInspection())
            Inspect(0, true);
        if (m_stopped)
            return false;
        EndLine(0);
    }
    if (m_pending)
        ResolvePendingAsBody();
    if (m_stopped)
        return false;
    // In a mailbox the empty line that ends the source separates, like the
    // ones before its later envelope lines: it is not part of the message.
    const bool mailbox = m_form != Form::Unknown && m_form != Form::Message;
    Emit(mailbox && m_previousEmpty && m_lineStart == m_size ? m_emptyStart : m_size);
    m_size = 0;
    ResetLine();
    return !m_stopped;
}

void MessageSplitter::Reserve(std::size_t needed)
{
    // Grow by half rather than double, so a message larger than the up-front
    // reserve costs at most 1.5 times its size.
    if (needed <= m_capacity)
        return;
    const std::size_t capacity = std::max({needed, m_capacity + m_capacity / 2, kMinGrowth});
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (m_size > 0)
        std::memcpy(grown.get(), m_data.get(), m_size);
    m_data = std::move(grown);
    m_capacity = capacity;
}

void MessageSplitter::Append(const char *data, std::size_t size)
{
    if (size == 0)
        return;
    Reserve(m_size + size);
    std::memcpy(m_data.get() + m_size, data, size);
    m_size += size;
}

void MessageSplitter::AppendLineEnd()
{
    Append(m_lineEnd.data(), m_lineEnd.size());
}

void MessageSplitter::InsertQuote(std::size_t at)
{
    Reserve(m_size + 1);
    std::memmove(m_data.get() + at + 1, m_data.get() + at, m_size - at);
    m_data[at] = '>';
    ++m_size;
}

// Whether the start of the line being read still has something to decide.
bool MessageSplitter::NeedsInspection() const
{
    return m_pending || m_form == Form::Mailbox || m_prefix == Prefix::Open;
}

// Whether the line being read (as far as it has been, without the
// `endingLength` bytes of its line end) begins "X-Opera-Status:".
MessageSplitter::Answer MessageSplitter::StartsWithOperaStatus(std::size_t endingLength, bool lineComplete) const
{
    const std::size_t have = m_size - endingLength - m_lineStart;
    const std::string_view start(m_data.get() + m_lineStart, std::min(have, kOperaStatus.size()));
    if (start == kOperaStatus)
        return Answer::Yes;
    if (lineComplete || start != kOperaStatus.substr(0, start.size()))
        return Answer::No;
    return Answer::NotYet; // too few bytes of this line to tell yet
}

// Looks at the start of the current line as far as it has been read: first
// whether it tells the kind of mailbox or decides a pending candidate, then
// whether it needs quoting.
void MessageSplitter::Inspect(std::size_t endingLength, bool lineComplete)
{
    if (m_form == Form::Mailbox) {
        const Answer opera = StartsWithOperaStatus(endingLength, lineComplete);
        if (opera == Answer::NotYet)
            return;
        m_form = opera == Answer::Yes ? Form::Opera : Form::Mbox;
    }
    if (m_pending) {
        const Answer opera = StartsWithOperaStatus(endingLength, lineComplete);
        if (opera == Answer::NotYet)
            return;
        if (opera == Answer::Yes) {
            Split(m_emptyStart, m_candidateStart, m_candidateEnd, m_lineStart);
            if (m_stopped)
                return;
        } else {
            ResolvePendingAsBody();
        }
    }
    if (m_prefix == Prefix::Open)
        DecidePrefix(endingLength, lineComplete);
}

void MessageSplitter::DecidePrefix(std::size_t endingLength, bool lineComplete)
{
    const char *line = m_data.get() + m_lineStart;
    const std::size_t have = m_size - endingLength - m_lineStart;
    while (m_quoteRun < have && line[m_quoteRun] == '>')
        ++m_quoteRun;
    const std::string_view rest(line + m_quoteRun, have - m_quoteRun);
    if (rest.substr(0, kFromSpace.size()) != kFromSpace) {
        if (!lineComplete && rest.size() < kFromSpace.size() && kFromSpace.substr(0, rest.size()) == rest)
            return; // could still become ">From "
        m_prefix = Prefix::Plain;
        return;
    }
    m_prefix = Prefix::From;
    // An envelope line, or a body line, decided at its end: the first line,
    // or in a mailbox one that follows an empty line.
    const bool mayOpen = m_firstLine || (m_previousEmpty && (m_form == Form::Opera || m_form == Form::Mbox));
    if (m_quoteRun == 0 && mayOpen)
        m_lineIsCandidate = true;
    else
        InsertQuote(m_lineStart);
}

// The current line has been read, with its line end (`endingLength` bytes).
void MessageSplitter::EndLine(std::size_t endingLength)
{
    const std::size_t contentEnd = m_size - endingLength;
    const bool empty = contentEnd == m_lineStart;
    if (m_lineIsCandidate) {
        m_lineIsCandidate = false;
        const std::string_view line(m_data.get() + m_lineStart, contentEnd - m_lineStart);
        if (m_firstLine) {
            if (!IsHeaderField(line)) {
                m_envelope.assign(line);
                m_hasEnvelope = true;
                m_form = Form::Mailbox;
                m_size = m_lineStart;
                m_firstLine = false;
                m_previousEmpty = false;
                ResetLine();
                return;
            }
            InsertQuote(m_lineStart);
        } else if (m_form == Form::Mbox) {
            if (IsWellFormedEnvelopeLine(line)) {
                Split(m_emptyStart, m_lineStart, contentEnd, m_size);
                ResetLine();
                return;
            }
            InsertQuote(m_lineStart);
        } else {
            // An Opera store file: the next line decides.
            m_pending = true;
            m_candidateStart = m_lineStart;
            m_candidateEnd = contentEnd;
        }
    }
    if (empty) {
        if (m_headerEnd == std::string_view::npos)
            m_headerEnd = m_size;
        m_previousEmpty = true;
        m_emptyStart = m_lineStart;
    } else {
        m_previousEmpty = false;
    }
    if (m_firstLine) {
        m_firstLine = false;
        m_form = Form::Message;
    }
    ResetLine();
}

void MessageSplitter::ResetLine()
{
    m_lineStart = m_size;
    m_prefix = Prefix::Open;
    m_quoteRun = 0;
    m_lineIsCandidate = false;
}

// The "From " line after an empty line did not start a message: it is a body
// line and gets quoted like any other.
void MessageSplitter::ResolvePendingAsBody()
{
    m_pending = false;
    InsertQuote(m_candidateStart);
    ++m_lineStart;
}

// Hands over the message in [0, previousEnd) and keeps [nextStart, end) as the
// start of the next one, whose envelope line is [envelopeStart, envelopeEnd).
void MessageSplitter::Split(std::size_t previousEnd, std::size_t envelopeStart, std::size_t envelopeEnd,
                            std::size_t nextStart)
{
    std::string envelope(m_data.get() + envelopeStart, envelopeEnd - envelopeStart);
    m_pending = false;
    Emit(previousEnd);
    m_envelope = std::move(envelope);
    m_hasEnvelope = true;
    if (m_size > nextStart)
        std::memmove(m_data.get(), m_data.get() + nextStart, m_size - nextStart);
    m_size -= nextStart;
    m_lineStart -= std::min(m_lineStart, nextStart);
    m_headerEnd = std::string_view::npos;
    m_previousEmpty = false;
}

void MessageSplitter::Emit(std::size_t textEnd)
{
    SplitMessage message;
    message.text = std::string_view(m_data.get(), textEnd);
    if (m_hasEnvelope)
        message.envelope = std::string_view(m_envelope);
    message.headerSize = std::min(m_headerEnd, textEnd);
    if (!m_sink(message))
        m_stopped = true;
}

} // namespace tovaly
