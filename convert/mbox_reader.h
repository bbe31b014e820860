#pragma once
// Reading an mboxrd mailbox back as a sequence of messages, in one streaming
// pass over chunks of any size: what the converter wrote, with one level of
// ">From " quoting undone, and where the last whole record ends.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tovaly {

/// How a record ended.
enum class RecordEnd {
    Whole,       ///< with a line end and an empty line, as every record is written
    NoEmptyLine, ///< the next record's From line came without an empty line before it
    Torn,        ///< the mailbox ends inside it (a write that was cut short)
};

/// Hears the records of a mailbox as MboxReader finds them.
class MboxVisitor {
public:
    virtual ~MboxVisitor() = default;
    /// A record starts at byte `offset` with the From line `fromLine` (without
    /// its line end; at most MboxReader::kMaxFromLine bytes of it).
    virtual void RecordStarted(std::uint64_t offset, std::string_view fromLine)
    {
        (void)offset;
        (void)fromLine;
    }
    /// The next piece of the message text of the current record, with one
    /// level of quoting undone and the line ends as they are in the file.
    /// The text is everything after the From line up to the empty line that
    /// closes the record. Pieces are views into what was fed (or small
    /// constants), valid during the call only.
    virtual void RecordText(std::string_view piece) { (void)piece; }
    /// The current record ended at byte `end` (the start of the next From
    /// line, or the end of the mailbox).
    virtual void RecordEnded(std::uint64_t end, RecordEnd how)
    {
        (void)end;
        (void)how;
    }
};

/// Reads an mboxrd mailbox whose lines end in LF or CR LF.
///
/// - Every line that begins "From " starts a record; that From line is not
///   part of the message text. Bytes before the first From line belong to
///   no record and are skipped.
/// - A line matching ^>+From  loses one ">".
/// - The empty line before a From line (and before the end of the mailbox)
///   closes the record and is not part of its text.
///
/// Memory stays bounded whatever the size of the mailbox or of its lines:
/// text is handed on as it arrives; only the From line (up to kMaxFromLine
/// bytes) and a few bytes at the start of a line are held. The calls do
/// not depend on where the chunks are cut, except that a piece of text can
/// be split in more or fewer pieces.
class MboxReader {
public:
    static constexpr std::size_t kMaxFromLine = 4096;

    explicit MboxReader(MboxVisitor &visitor);

    /// Takes the next bytes of the mailbox.
    void Feed(std::string_view chunk);
    /// Ends the mailbox: ends the last record. Call once, after the last Feed.
    void Finish();

    /// Bytes fed so far.
    std::uint64_t Size() const { return m_offset; }
    /// Records started so far.
    std::uint64_t Records() const { return m_records; }
    /// Where the first record starts (Size() while there is none).
    std::uint64_t FirstRecordAt() const { return m_records > 0 ? m_firstRecordAt : m_offset; }
    /// After Finish: where the mailbox stops being whole records. Size() when
    /// it ends with a whole record (or holds none); else the start of the
    /// torn last record, which is also where a From line cut short
    /// ("...\n\nFro") starts. Cutting the file back to it leaves whole
    /// records only.
    std::uint64_t WholeEnd() const { return m_wholeEnd; }
    /// After Finish: whether the mailbox ends inside a record.
    bool Torn() const { return m_wholeEnd < m_offset; }

private:
    enum class Line {
        Start,   // nothing of the line seen yet
        Prefix,  // deciding: quotes, part of "From ", or a CR
        Text,    // a text line, handed on as it comes
        FromLine // a From line, collected
    };

    void TakePrefixByte(char c);
    void StartText();
    void EndRecord(std::uint64_t end, RecordEnd how);
    void FlushHeldEmptyLine();
    void Emit(std::string_view piece);
    void StartRecordIfFromLine();

    MboxVisitor &m_visitor;
    std::uint64_t m_offset = 0; // bytes consumed
    std::uint64_t m_records = 0;
    std::uint64_t m_firstRecordAt = 0;
    std::uint64_t m_recordStart = 0; // of the current record
    std::uint64_t m_wholeEnd = 0;
    bool m_inRecord = false;
    bool m_finished = false;

    // The line being read.
    Line m_line = Line::Start;
    std::uint64_t m_lineStart = 0;
    std::size_t m_quotes = 0;       // leading ">" of the prefix
    std::size_t m_fromMatched = 0;  // bytes of "From " matched after them
    bool m_prefixCr = false;        // the prefix is a lone CR so far
    std::string m_fromLine;         // as much of a From line as is kept
    std::uint64_t m_fromLength = 0; // its length so far
    bool m_fromLastCr = false;      // and whether its last byte so far is a CR

    // The lines before it.
    bool m_previousEmpty = false; // the line before was empty (or there is none)
    std::string_view m_heldEmpty; // an empty line in a record whose fate waits on the next line
};

} // namespace tovaly
