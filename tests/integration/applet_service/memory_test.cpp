// The applet's listing of dependents when memory runs out: message 12 with an error icon, an
// empty list and failure, and a stop that goes on to the service itself. The allocator of this
// test program can be told to refuse its next allocation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "applet/messages.h"
#include "applet/service_ops.h"
#include "platform/service_control.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace {
std::atomic<bool> g_refuseNext{false};
}

void* operator new(std::size_t size) {
  if (g_refuseNext.exchange(false)) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// The compiler takes the replaced pair for a mismatch; both sides are malloc and free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace faxmail::applet {
namespace {

namespace pf = faxmail::platform;

class CountingPrompter : public Prompter {
 public:
  MessageAnswer Show(const MessageRequest& request) override {
    texts.push_back(request.text);
    icons.push_back(request.icon);
    owned.push_back(request.owned);
    return MessageAnswer::Ok;
  }
  std::vector<std::string> texts;
  std::vector<MessageIcon> icons;
  std::vector<bool> owned;
};

class AppletServiceMemory : public test::RootTest {};

TEST_F(AppletServiceMemory, ListingWithoutMemoryShowsMessage12) {
  pf::ScManager manager;
  ASSERT_EQ(pf::OpenSCManager(manager), 0);
  pf::ServiceConfig config;
  config.name = kGatewayServiceName;
  config.imagePath = test::BuiltProgram("tests/faxmail_test_service") + " normal";
  pf::ScService service;
  ASSERT_EQ(pf::CreateService(manager, config, service), 0);

  CountingPrompter prompter;
  prompter.texts.reserve(4);
  prompter.icons.reserve(4);
  prompter.owned.reserve(4);
  std::vector<std::string> names = {"stale"};
  g_refuseNext = true;
  const bool listed = EnumerateDependents(prompter, service, pf::ServiceStateFilter::Active, names);
  g_refuseNext = false;
  EXPECT_FALSE(listed);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(pf::LastError(), pf::kErrorNotEnoughMemory);
  ASSERT_EQ(prompter.texts.size(), 1u);
  EXPECT_EQ(prompter.texts[0], "Memory allocation failed");
  EXPECT_EQ(prompter.icons[0], MessageIcon::Error);
  EXPECT_TRUE(prompter.owned[0]);
}

}  // namespace
}  // namespace faxmail::applet
