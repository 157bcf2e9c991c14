// Hostile ready files in IN against the real faxmailgw: attachment lines that name other
// folders, absolute paths, links and over-long names; controls and CRs in the header lines;
// a FIFO, a folder and a link under a ready name; broken DNS answers on the way out. Mail
// leaves through a scripted DNS server (loopback, port 53) and an SMTP sink in the test. Each
// row says whether its file is delivered or set aside under which name, and what must not
// leave; then a normal ready file is delivered whole and nothing else is lost
// (hostile_support.h).
#include "tests/hostile/in_support.h"

namespace faxmail {
namespace {

using test::InContext;
using test::InOutcome;
using test::InRow;

const InRow kInRows[] = {
    {"AttachmentLineNamingOtherFolder",
     [](InContext& c) {
       c.Secret(c.Data() + "escape-secret.tif");
       c.Ready("other.tmp", test::FaxReceived("other", "<<fax.tif:../escape-secret.tif>>"));
     },
     InOutcome::Delivered,
     nullptr,
     "SMTPOut- Error: Attachment line refused: ",
     {},
     432},
    {"AttachmentLineWithBackslashes",
     [](InContext& c) {
       c.Secret(c.Data() + "escape-bs.tif");
       c.Ready("outward.tmp", test::FaxReceived("outward", "<<fax.tif:..\\escape-bs.tif>>"));
     },
     InOutcome::Delivered,
     nullptr,
     "SMTPOut- Error: Attachment line refused: ",
     {},
     432},
    {"AttachmentLineWithAbsolutePath",
     [](InContext& c) {
       const std::string secret = c.Root() + "/escape-abs.tif";
       c.Secret(secret);
       c.Ready("absolute.tmp", test::FaxReceived("absolute", "<<fax.tif:" + secret + ">>"));
     },
     InOutcome::Delivered,
     nullptr,
     "SMTPOut- Error: Attachment line refused: ",
     {},
     432},
    {"AttachmentThatIsASymbolicLink",
     [](InContext& c) {
       const std::string secret = c.Data() + "escape-linked.tif";
       c.Secret(secret);
       c.Link(secret, c.In() + "link.tif");
       c.Ready("linked.tmp", test::FaxReceived("linked", "<<fax.tif:link.tif>>"));
     },
     InOutcome::SetAside,
     "linked.Refused.Err",
     nullptr,
     {"link.tif"}},
    {"AttachmentNameOver21Characters",
     [](InContext& c) {
       test::WriteWholeFile(c.In() + "abcdefghijklmnopqrstuv.tif", test::kSecretBytes);
       c.Ready("longname.tmp",
               test::FaxReceived("longname", "<<fax.tif:abcdefghijklmnopqrstuv.tif>>"));
     },
     InOutcome::Delivered,
     nullptr,
     "SMTPOut- Error: Attachment line refused: ",
     {"abcdefghijklmnopqrstuv.tif"},
     432},
    {"AttachmentNameWithControls",
     [](InContext& c) {
       test::WriteWholeFile(c.In() + "a\x01.tif", test::kSecretBytes);
       c.Ready("ctlname.tmp", test::FaxReceived("ctlname", "<<fax.tif:a\x01.tif>>"));
     },
     InOutcome::Delivered,
     nullptr,
     "SMTPOut- Error: Attachment line refused: ",
     {"a\x01.tif"},
     432},
    {"ControlsAndCrInHeaderLines",
     [](InContext& c) {
       c.Ready("controls.tmp",
               "FROM: Fax Server <fax@fax.example>\x1b[2J\r\n"
               "TO: Alice\x07 <alice@localhost>\r\n"
               "SUBJECT: Fax sent OK to 5\rX-Injected: yes\x01\r\n"
               "\r\nBEGIN BODY\r\n\r\n" +
                   test::Reference("controls") + "\r\n\r\nEND BODY\r\n\r\n");
     },
     InOutcome::Delivered,
     nullptr,
     nullptr,
     {}},
    {"FifoWithReadyName",
     [](InContext& c) { c.Fifo(c.In() + "fifo.tmp"); },
     InOutcome::SetAside,
     "fifo.Refused.Err",
     "SMTPOut- ERROR: not a regular file, set aside: ",
     {}},
    {"DirectoryWithReadyName",
     [](InContext& c) { std::filesystem::create_directory(c.In() + "folder.tmp"); },
     InOutcome::SetAside,
     "folder.Refused.Err",
     "SMTPOut- ERROR: not a regular file, set aside: ",
     {}},
    {"SymbolicLinkWithReadyName",
     [](InContext& c) {
       const std::string target = c.Data() + "escape-ready.txt";
       test::WriteWholeFile(target, test::Notification("leak"));
       c.Own(target);
       c.Link(target, c.In() + "link.tmp");
     },
     InOutcome::SetAside,
     "link.Refused.Err",
     "SMTPOut- ERROR: not a regular file, set aside: ",
     {}},
    {"DnsPointerLoopFallsBackToTheDomain",
     [](InContext& c) {
       c.Dns(test::PointerLoopAnswer());
       c.Ready("loop.tmp", test::Notification("loop"));
     },
     // The domain is asked in capitals (the receiver line is), and used so when no MX is left.
     InOutcome::Delivered,
     nullptr,
     "SMTPOut- No MX Rec: Using: LOCALHOST",
     {}},
    {"Dns500MxRecordsNoneAnswering",
     [](InContext& c) {
       // Every exchanger and the domain itself are addresses where nothing listens.
       c.Dns(test::ManyExchangersAnswer(500, "127.0.0.3"));
       c.Ready("dns500.tmp", test::Notification("dns500", "alice@127.0.0.3"));
     },
     InOutcome::SetAside,
     "DNS500.ConnFailed.Err",
     "SMTPOut- Unable to connect to the host: ",
     {},
     435},
};

class InHostile : public test::InHostileTest, public ::testing::WithParamInterface<InRow> {};

TEST_P(InHostile, CleanOutcomeAndNothingElseLost) { RunRow(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, InHostile, ::testing::ValuesIn(kInRows), test::RowName());

}  // namespace
}  // namespace faxmail
