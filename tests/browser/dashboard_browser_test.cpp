// The sandbox's dashboard in a real browser: payments made through the plug-in appear in the
// table, the payments and the connection lanes; a control set on the page decides the next
// payment; hostile text is shown as text. The page's state is read from its DOM.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "browser/web_driver.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/json.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "support/sandbox_checkout.hpp"
#include "support/test_server.hpp"

namespace korvani {
namespace {

using host::RecordingNavigationHandler;

const std::filesystem::path kWorkDir = KORVANI_BROWSER_DIR;

// The table's rows, oldest first, as the page shows them.
constexpr const char* kRowsScript = R"(
  return [...document.querySelectorAll('#requests tbody tr')].reverse().map((row) => {
    const cell = (name) => row.querySelector('.c-' + name).textContent;
    return {seq: cell('seq'), answer: cell('status'), scenario: cell('scenario'),
            payment: cell('payment'), amount: cell('amount'), key: cell('key'),
            flags: cell('flags'), connection: row.dataset.connection};
  });)";

std::string text(const JsonObject& object, std::string_view key) {
  const std::string* value = object.getString(key);
  return value ? *value : "";
}

std::vector<JsonObject> objectsOf(const std::optional<JsonValue>& value) {
  std::vector<JsonObject> found;
  if (const JsonArray* array = value ? value->asArray() : nullptr) {
    for (const JsonValue& item : *array) {
      if (const JsonObject* object = item.asObject()) found.push_back(*object);
    }
  }
  return found;
}

class DashboardInBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox::SandboxOptions options;
    options.dashboard = true;
    options.workerThreads = 4;
    std::string error;
    server = test_support::startCheckoutSandbox(options, events, error);
    ASSERT_TRUE(server) << error;
    browser = test_support::WebDriver::start(
        kWorkDir / ::testing::UnitTest::GetInstance()->current_test_info()->name(), error);
    ASSERT_TRUE(browser) << error;
  }

  void TearDown() override {
    browser.reset();
    test_support::stopCheckoutSandbox(server.get());
  }

  // The host's part: configuration, store and handler handed over, then a render until the
  // report (which follows the end of the plug-in's work).
  // `salt` makes a checkout of its own: another idempotency key for the same card.
  std::shared_ptr<PaymentPluginComponent> pay(const std::string& scenario,
                                              const std::string& salt = "") {
    auto component =
        PaymentPluginComponent::create(test_support::sandboxCheckout(*server, "150.75", salt));
    component->didReceive(test_support::sandboxStore(test_support::sandboxCard(scenario)));
    component->navigationHandlerForPlugin(handler);
    render(*component);
    return component;
  }

  void render(PaymentPluginComponent& component) {
    EXPECT_TRUE(test_support::renderUntilReported(component, *handler, std::chrono::seconds(30)));
  }

  bool pageShows(const std::string& condition) {
    return browser->waitUntil("return " + condition + ";");
  }

  test_support::ProcessState state;  // outlives the server
  std::unique_ptr<sandbox::SandboxServer> server;
  std::shared_ptr<host::RecordingTrackListener> events =
      std::make_shared<host::RecordingTrackListener>();
  std::shared_ptr<RecordingNavigationHandler> handler =
      std::make_shared<RecordingNavigationHandler>();
  std::unique_ptr<test_support::WebDriver> browser;
};

TEST_F(DashboardInBrowserTest, ShowsPaymentsTheirKeysAndConnectionsAndSetsTheNextScenario) {
  // Approved on the connection opened ahead; its answer lost after charging on that kept
  // connection, so a second request with the key follows on a new one; the first checkout
  // rendered again: a replay.
  const auto approved = pay("approved");
  pay("drop");
  render(*approved);

  ASSERT_TRUE(browser->navigate(server->dashboardUrl()));
  ASSERT_TRUE(pageShows("document.querySelectorAll('#requests tbody tr').length === 4"))
      << browser->log();
  const auto rows = objectsOf(browser->run(kRowsScript));
  ASSERT_EQ(rows.size(), 4u);
  const JsonObject &first = rows[0], &dropped = rows[1], &resent = rows[2], &replay = rows[3];
  EXPECT_EQ(text(first, "answer"), "201");
  EXPECT_EQ(text(first, "amount"), "150.75");
  EXPECT_EQ(text(first, "flags"), "");
  EXPECT_EQ(text(dropped, "answer"), "dropped");
  EXPECT_EQ(text(dropped, "scenario"), "drop");
  EXPECT_EQ(text(dropped, "connection"), text(first, "connection")) << "the kept connection";
  EXPECT_EQ(text(resent, "key"), text(dropped, "key"));
  EXPECT_EQ(text(resent, "flags"), "replay");
  EXPECT_EQ(text(resent, "payment"), text(dropped, "payment"));
  EXPECT_NE(text(resent, "connection"), text(dropped, "connection")) << "a new connection";
  EXPECT_EQ(text(replay, "key"), text(first, "key"));
  EXPECT_EQ(text(replay, "flags"), "replay");
  EXPECT_EQ(text(replay, "payment"), text(first, "payment"));
  EXPECT_NE(text(first, "key"), "");

  // Two payments, each charged once and brought by two requests.
  const auto payments = objectsOf(browser->run(R"(
    return [...document.querySelectorAll('#payments tbody tr')].map((row) => ({
      payment: row.dataset.payment, requests: row.querySelector('.c-requests').textContent,
      status: row.querySelector('.c-status').textContent}));)"));
  ASSERT_EQ(payments.size(), 2u);
  for (const JsonObject& payment : payments) {
    EXPECT_EQ(text(payment, "requests"), "1 charge, 2 requests") << text(payment, "payment");
    EXPECT_EQ(text(payment, "status"), "approved");
  }

  // Lanes: the first connection shows its handshake, the answered request and the drop, then
  // ends; the second its handshake and the re-send.
  const std::string lane = "#lanes g.lane[data-connection=\"";
  const std::string firstLane = lane + text(first, "connection") + "\"]";
  const std::string secondLane = lane + text(resent, "connection") + "\"]";
  EXPECT_TRUE(pageShows("document.querySelectorAll('#lanes g.lane').length === 2"));
  for (const std::string& mark :
       {firstLane + " rect.handshake", firstLane + " rect.request.ok[data-seq=\"1\"]",
        firstLane + " rect.request.dropped[data-seq=\"2\"]", firstLane + " line.close",
        secondLane + " rect.handshake", secondLane + " rect.request.replay[data-seq=\"3\"]",
        std::string("#lanes rect.request.replay[data-seq=\"4\"]")}) {
    EXPECT_TRUE(browser->run("return document.querySelector('" + mark + "') !== null;")
                    ->asBool()
                    .value_or(false))
        << mark;
  }

  // The control: the next payment is unavailable, whatever its card says; once.
  ASSERT_TRUE(browser->click("#scenario option[value=\"unavailable\"]"));
  ASSERT_TRUE(browser->click("#set-scenario"));
  ASSERT_TRUE(pageShows(
      "document.getElementById('next-scenario').textContent === 'next payment: unavailable'"));
  pay("approved", "after the control");
  EXPECT_EQ(handler->calls().back().kind, RecordingNavigationHandler::CallKind::finishWithStatus)
      << "a failed payment is reported without one";
  ASSERT_TRUE(
      pageShows("document.querySelector('#requests tbody tr .c-status').textContent === '503' && "
                "document.getElementById('next-scenario').textContent === ''"));
  EXPECT_EQ(text(objectsOf(browser->run(kRowsScript)).back(), "scenario"), "unavailable");

  // A request's detail, for the picture: the re-send, its headers with the token masked.
  ASSERT_TRUE(browser->click("#requests tbody tr[data-seq=\"3\"]"));
  ASSERT_TRUE(
      pageShows("document.querySelector('#detail h2')?.textContent === "
                "'Request #3 on connection #" +
                text(resent, "connection") + "'"));
  EXPECT_TRUE(browser
                  ->run("return document.getElementById('detail').textContent.includes("
                        "'TEST-checkout-token');")
                  ->asBool() == false)
      << "the access token is masked";
  EXPECT_TRUE(browser->screenshot(kWorkDir / "dashboard.png"));
}

TEST_F(DashboardInBrowserTest, ShowsHostileTextAsText) {
  // Sent straight to the payments path: whatever a client puts in its request.
  const std::string body =
      R"({"payment_method_id":"visa","description":"<script>window.pwned=1</script>)"
      R"(<img src=x onerror=\"window.pwned=2\"> 'single' \"double\" &amp;"})";
  const std::string key = R"("><img src=x onerror=window.pwned=3>)";
  const std::string note = "<script>window.pwned=4</script>";
  const auto sent = test_support::fetch(test_support::request(
      server->paymentsUrl() + "?access_token=TEST-secret", "POST",
      {{"Content-Type", "application/json"}, {"X-Idempotency-Key", key}, {"X-Note", note}}, body));
  ASSERT_TRUE(sent && sent->response && sent->response->statusCode == 201);

  ASSERT_TRUE(browser->navigate(server->dashboardUrl()));
  ASSERT_TRUE(pageShows("document.querySelectorAll('#requests tbody tr').length === 1"))
      << browser->log();
  ASSERT_TRUE(browser->click("#requests tbody tr"));
  ASSERT_TRUE(pageShows("document.querySelector('#detail .request-body') !== null"));

  const auto shown = browser->run(R"(
    const detail = document.getElementById('detail');
    const header = [...detail.querySelectorAll('.headers tr')]
        .find((row) => row.firstChild.textContent === 'X-Note');
    return {body: detail.querySelector('.request-body').textContent,
            key: document.querySelector('#requests .c-key').textContent,
            note: header ? header.lastChild.textContent : null,
            elements: document.querySelectorAll('main script, main img').length,
            pwned: window.pwned === undefined ? 0 : window.pwned};)");
  ASSERT_TRUE(shown && shown->asObject());
  const JsonObject& page = *shown->asObject();
  EXPECT_EQ(text(page, "body"), body);
  EXPECT_EQ(text(page, "key"), key);
  EXPECT_EQ(text(page, "note"), note);
  EXPECT_EQ(page.getInt64("elements"), 0) << "no element was made from the text";
  EXPECT_EQ(page.getInt64("pwned"), 0) << "no script ran";
}

}  // namespace
}  // namespace korvani
