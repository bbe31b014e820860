#pragma once
// The streaming half of the mailbox record writer: cutting a source file into
// messages ready for an mbox record while counting its lines for the progress
// display, in one pass over chunks of any size.

#include "line_end.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tovaly {

/// One message cut out of a source by MessageSplitter. The views point into
/// the splitter's buffer and stay valid only during the sink call.
struct SplitMessage {
    /// The message text as it goes into the record: every line end (CR,
    /// CR LF or a lone LF) written as the splitter's one line end, every
    /// line matching ^>*From  given one more ">". Without the envelope line
    /// that opened the message and without the empty line that separated it
    /// from the next one (or, in a mailbox, that ended the source). It ends
    /// without a line end only when the source's last line had none.
    std::string_view text;
    /// The envelope line ("From ..." without its line end) that opened the
    /// message, when there was one.
    std::optional<std::string_view> envelope;
    /// Length of the header block at the start of `text`, up to and including
    /// the first empty line (all of `text` when it has none).
    std::size_t headerSize = 0;
};

/// Cuts a source into messages. Lines end at CR, CR LF or a lone LF.
///
/// - A source whose first line begins "From " (and is not a header field)
///   is a mailbox: that line is the first message's envelope line and is
///   left out of its text. When the next line begins "X-Opera-Status:" it
///   is an Opera store file, otherwise an mbox file.
/// - Only a mailbox is split, and only at a line beginning "From " that
///   follows an empty line and is an envelope of the same kind: in an Opera
///   store file, one whose next line begins "X-Opera-Status:"; in an mbox
///   file, a well-formed envelope line (IsWellFormedEnvelopeLine). The empty
///   line before it is dropped, and so is an empty line that ends a mailbox.
/// - A source without a leading envelope line is one message.
/// - Every other line matching ^>*From  is quoted with one more ">", so no
///   mbox reader splits a message inside its body.
///
/// A source always gives at least one message (an empty source gives one
/// empty message).
///
/// On the way it counts the source's lines as the progress display reads
/// them, which is not the way it splits them: a progress line ends at CR or
/// CR LF only (a lone LF is part of its line), the end of the source ends a
/// last line that has no line end, and each line counts its length plus 2.
/// The result does not depend on where the chunks are cut.
class MessageSplitter {
public:
    /// Receives each finished message in order; returning false stops the
    /// splitter (Feed and Finish then return false and do nothing).
    using Sink = std::function<bool(const SplitMessage &)>;
    /// Called for every progress line read, with the count so far.
    using LineCounted = std::function<void(std::uint64_t bytesSoFar)>;

    /// Messages are written with `lineEnds`. `expectedSize` (usually the
    /// source size) sizes the message buffer up front, so a message of that
    /// size does not make it grow.
    MessageSplitter(Sink sink, LineEnds lineEnds, std::uint64_t expectedSize = 0, LineCounted lineCounted = {});

    /// Takes the next bytes of the source. False once the sink refused.
    [[nodiscard]] bool Feed(std::string_view chunk);

    /// Ends the source and hands over its last message. False when the sink
    /// refused. Call it once, after the last Feed.
    [[nodiscard]] bool Finish();

private:
    // What the source has shown itself to be so far.
    enum class Form {
        Unknown, // its first line has not been read
        Message, // no leading envelope line: one message, never split
        Mailbox, // a leading envelope line; its kind shows in the next line
        Opera,   // an Opera store file
        Mbox,    // an mbox file
    };
    enum class Prefix { Open, Plain, From };
    enum class Answer { Yes, No, NotYet };

    const char *CopyPlainLines(const char *p, const char *end);
    const char *CopyPlainLinesAsLf(const char *p, const char *end);
    void CountLineEndingAt(const char *cr, const char *next);
    void Append(const char *data, std::size_t size);
    void AppendLineEnd();
    void InsertQuote(std::size_t at);
    void Reserve(std::size_t needed);
    bool NeedsInspection() const;
    Answer StartsWithOperaStatus(std::size_t endingLength, bool lineComplete) const;
    void Inspect(std::size_t endingLength, bool lineComplete);
    void DecidePrefix(std::size_t endingLength, bool lineComplete);
    void EndLine(std::size_t endingLength);
    void ResetLine();
    void ResolvePendingAsBody();
    void Split(std::size_t previousEnd, std::size_t envelopeStart, std::size_t envelopeEnd, std::size_t nextStart);
    void Emit(std::size_t textEnd);

    Sink m_sink;
    LineCounted m_lineCounted;
    std::string_view m_lineEnd; // what every line end is written as
    std::uint64_t m_bytesSoFar = 0;
    std::uint64_t m_countCarry = 0;    // bytes of the progress line read in earlier chunks
    const char *m_countFrom = nullptr; // where the progress line starts in the current chunk
    // The text of the current message (and the start of the next one while a
    // split is being decided). A plain buffer: it is filled with memcpy and
    // grows by half, never by doubling.
    std::unique_ptr<char[]> m_data;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
    std::string m_envelope;
    bool m_hasEnvelope = false;
    bool m_stopped = false;
    std::size_t m_headerEnd = std::string_view::npos;
    Form m_form = Form::Unknown;

    // The line being read.
    std::size_t m_lineStart = 0;
    Prefix m_prefix = Prefix::Open;
    std::size_t m_quoteRun = 0; // leading ">" seen so far
    bool m_lineIsCandidate = false;
    bool m_skipLf = false;

    // The lines before it.
    bool m_firstLine = true;
    bool m_previousEmpty = false;
    std::size_t m_emptyStart = 0;

    // In an Opera store file, a "From " line after an empty line whose fate
    // depends on the next line.
    bool m_pending = false;
    std::size_t m_candidateStart = 0;
    std::size_t m_candidateEnd = 0;
};

} // namespace tovaly
