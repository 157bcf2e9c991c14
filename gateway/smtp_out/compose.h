// Composition of one outbound mail: a ready file of the IN folder becomes the exact text that
// the SMTP client sends after DATA, in a work file.
//
// The ready file's header lines are copied, a MIME header block is added, then the message
// text, and - for mails that carry attachments (a received fax always; any mail while the
// include-TIFF option is on) - one base64 body part per attachment between multipart
// boundaries; the text ends with the SMTP end line ".\r\n". Leading dots are left as they are:
// the client adds the transparency dot when it sends. Composition also decides whether the
// file is to be sent at all (the notification options) and fills the room reserved in the
// subject header from a "Subject : " line of the message text (subject-line option).
//
// Ready files come from the fax server, so everything read from them is bounded: lines of
// at most 259 bytes, attachment file names of at most 21 characters and never with a folder
// part (an attachment is always a file of IN, and only ever a regular one, never reached
// through a symbolic link). Header lines are copied without their control characters (TAB
// excepted: it is white space within a header field and begins a folded line) and end in
// CR LF, so that no bare CR or LF of a ready file ends a header line early at a receiver that
// takes it for a line end. The sender's thread only; no locks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace faxmail {

class CFileMan;

// Results of ComposeMessage.
inline constexpr int kComposeDropped = 0;      // nothing to send: no subject, or suppressed
inline constexpr int kComposeReady = 1;        // the work file holds a message to send
inline constexpr int kComposeWriteFailed = 2;  // the work file could not be written whole
// An attachment named by the ready file is no regular file (a symbolic link, a FIFO): it was
// not opened, and the ready file is not to be sent.
inline constexpr int kComposeRefused = 3;

// Composes ready (read from its start) into work (new and empty) with the options and program
// path of options. firstAttachment receives the path of the first attachment named after
// "BEGIN ATTACH" (unchanged when there is none). Both files are positioned at their start on
// return.
int ComposeMessage(platform::File& ready, platform::File& work, const CFileMan& options,
                   std::string& firstAttachment);

// Results of AppendAttachment.
inline constexpr int kAttachAppended = 0;
inline constexpr int kAttachCannotOpen = 1;
inline constexpr int kAttachEncoderFailed = 2;
inline constexpr int kAttachPartCannotOpen = 3;
inline constexpr int kAttachWriteFailed = 4;  // appended, but a write to the work file failed
inline constexpr int kAttachRefused = 5;      // no regular file: not opened, nothing appended

// Encodes the attachment at path into the scratch file programPath + "IN/At<id>.cqx" (id: the
// work file's handle value) and copies that into work, followed by CR LF. With asPdf a TIFF is
// first made a PDF in the scratch file "IN/At<id>.pdf" and attached as that, named with ".pdf";
// one that cannot be made a PDF is attached as it is, with a log line.
int AppendAttachment(const std::string& path, platform::File& work, std::string_view name,
                     const std::string& programPath, bool asPdf = false);

// The receiver line of a composed message: the first line starting with "TO:" (any case) gives
// "TO: <ADDRESS>" in capitals, at most kReceiverLineSize - 1 characters. work is positioned at
// its start on return.
inline constexpr std::size_t kReceiverLineSize = 200;
bool FindReceiver(platform::File& work, std::string& receiverLine);

}  // namespace faxmail
