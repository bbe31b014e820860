#include "mbox_reader.h"

#include <algorithm>
#include <cstring>

namespace tovaly {

namespace {

constexpr std::string_view kFrom = "From ";
constexpr std::string_view kQuotes = ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>"; // handed on in slices

// Whether a line beginning with `c` needs a look at its first bytes: it may
// be empty, a From line or a quoted From line.
bool MayBeSpecial(char c)
{
    return c == '\n' || c == '\r' || c == '>' || c == 'F';
}

} // namespace

MboxReader::MboxReader(MboxVisitor &visitor) : m_visitor(visitor)
{
    m_previousEmpty = true; // the start of the mailbox counts as after an empty line
}

void MboxReader::Emit(std::string_view piece)
{
    if (m_inRecord && !piece.empty())
        m_visitor.RecordText(piece);
}

void MboxReader::FlushHeldEmptyLine()
{
    if (!m_heldEmpty.empty()) {
        Emit(m_heldEmpty);
        m_heldEmpty = {};
    }
}

void MboxReader::EndRecord(std::uint64_t end, RecordEnd how)
{
    m_visitor.RecordEnded(end, how);
    m_inRecord = false;
    m_heldEmpty = {};
}

// The prefix turned out to start a text line: the empty line held before it
// was text after all, then comes what the prefix held back.
void MboxReader::StartText()
{
    FlushHeldEmptyLine();
    if (m_prefixCr) {
        Emit("\r");
    } else {
        // A quoted From line loses one ">".
        std::size_t quotes = m_quotes;
        if (m_fromMatched == kFrom.size())
            --quotes;
        while (quotes > 0) {
            const std::size_t n = std::min(quotes, kQuotes.size());
            Emit(kQuotes.substr(0, n));
            quotes -= n;
        }
        Emit(kFrom.substr(0, m_fromMatched));
    }
    m_line = Line::Text;
    m_previousEmpty = false;
}

void MboxReader::TakePrefixByte(char c)
{
    // Consumes `c` unless the line turns out to be text at `c`, in which
    // case the text line starts with it.
    if (m_quotes == 0 && m_fromMatched == 0 && (c == '\n' || (c == '\r' && !m_prefixCr))) {
        ++m_offset;
        if (c == '\r') {
            m_prefixCr = true;
            return;
        }
        // An empty line: it closes the record if a From line follows.
        FlushHeldEmptyLine();
        if (m_inRecord)
            m_heldEmpty = m_prefixCr ? std::string_view("\r\n") : std::string_view("\n");
        m_line = Line::Start;
        m_previousEmpty = true;
        return;
    }
    if (m_prefixCr) {
        StartText();
        return;
    }
    if (m_fromMatched == 0 && c == '>') {
        ++m_offset;
        ++m_quotes;
        return;
    }
    if (c == kFrom[m_fromMatched]) {
        ++m_offset;
        if (++m_fromMatched < kFrom.size())
            return;
        if (m_quotes > 0) {
            StartText();
            return;
        }
        // A From line: the record before ends here.
        if (m_inRecord)
            EndRecord(m_lineStart, m_heldEmpty.empty() ? RecordEnd::NoEmptyLine : RecordEnd::Whole);
        if (m_records++ == 0)
            m_firstRecordAt = m_lineStart;
        m_recordStart = m_lineStart;
        m_inRecord = true;
        m_line = Line::FromLine;
        m_fromLine.assign(kFrom);
        m_fromLength = kFrom.size();
        m_fromLastCr = false;
        m_previousEmpty = false;
        return;
    }
    StartText();
}

void MboxReader::StartRecordIfFromLine()
{
    // The From line is whole (or the mailbox ends inside it): tell of it.
    if (m_fromLastCr && m_fromLength <= kMaxFromLine && !m_fromLine.empty())
        m_fromLine.pop_back();
    m_visitor.RecordStarted(m_recordStart, m_fromLine);
    m_fromLine.clear();
}

void MboxReader::Feed(std::string_view chunk)
{
    const char *p = chunk.data();
    const char *const end = p + chunk.size();
    while (p < end) {
        switch (m_line) {
        case Line::Start:
            m_lineStart = m_offset;
            m_quotes = 0;
            m_fromMatched = 0;
            m_prefixCr = false;
            m_line = Line::Prefix;
            [[fallthrough]];
        case Line::Prefix: {
            const std::uint64_t before = m_offset;
            TakePrefixByte(*p);
            p += m_offset - before;
            break;
        }
        case Line::Text: {
            // This line and the plain lines after it, in one piece.
            const char *stop = p;
            while (true) {
                const auto *nl =
                    static_cast<const char *>(std::memchr(stop, '\n', static_cast<std::size_t>(end - stop)));
                if (!nl) {
                    stop = end;
                    break;
                }
                stop = nl + 1;
                if (stop == end || MayBeSpecial(*stop))
                    break;
            }
            Emit(std::string_view(p, static_cast<std::size_t>(stop - p)));
            m_offset += static_cast<std::uint64_t>(stop - p);
            p = stop;
            if (stop[-1] == '\n')
                m_line = Line::Start;
            break;
        }
        case Line::FromLine: {
            const auto *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            const char *stop = nl ? nl : end;
            const auto size = static_cast<std::size_t>(stop - p);
            if (size > 0) {
                if (m_fromLine.size() < kMaxFromLine)
                    m_fromLine.append(p, std::min(size, kMaxFromLine - m_fromLine.size()));
                m_fromLength += size;
                m_fromLastCr = stop[-1] == '\r';
            }
            m_offset += size;
            p = stop;
            if (nl) {
                ++m_offset;
                ++p;
                StartRecordIfFromLine();
                m_line = Line::Start;
            }
            break;
        }
        }
    }
}

void MboxReader::Finish()
{
    if (m_finished)
        return;
    m_finished = true;

    bool lineOpen = m_line != Line::Start;
    if (m_line == Line::Prefix) {
        if (m_quotes == 0 && !m_prefixCr && m_fromMatched > 0 && m_previousEmpty) {
            // A From line cut short: the record before it is whole.
            if (m_inRecord)
                EndRecord(m_lineStart, m_heldEmpty.empty() ? RecordEnd::NoEmptyLine : RecordEnd::Whole);
            m_wholeEnd = m_lineStart;
            return;
        }
        StartText();
    } else if (m_line == Line::FromLine) {
        StartRecordIfFromLine();
    }

    if (!m_inRecord) {
        m_wholeEnd = m_offset;
        return;
    }
    if (!lineOpen && !m_heldEmpty.empty()) {
        EndRecord(m_offset, RecordEnd::Whole);
        m_wholeEnd = m_offset;
    } else {
        EndRecord(m_offset, RecordEnd::Torn);
        m_wholeEnd = m_recordStart;
    }
}

} // namespace tovaly
