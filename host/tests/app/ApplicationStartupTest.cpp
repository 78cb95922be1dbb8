// Start-up of the application when something is missing: a port already taken, no audio
// endpoint (this test runs without a sound server), a settings file that cannot be read.
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "app/AppTestSupport.h"
#include "app/Application.h"
#include "support/LogCapture.h"

using namespace quorvane::test;
using quorvane::host::Application;

namespace {

// Whether a listener can be opened on the port (nothing holds it any more).
bool portIsFree(uint16_t port) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io);
  boost::system::error_code error;
  acceptor.open(boost::asio::ip::tcp::v4(), error);
  acceptor.bind({boost::asio::ip::tcp::v4(), port}, error);
  return !error;
}

TEST(ApplicationStartup, ATakenPortFailsStartUpAndEverythingCreatedStopsWithTheApplication) {
  ComApartment com;
  LogCapture log;
  SettingsFile file;
  file.save();
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::tcp::v4(), file.settings.videoPort});
  {
    Application app;
    EXPECT_FALSE(app.initialize());
    EXPECT_TRUE(log.hasLine(spdlog::level::err, "Failed to start TCP transport server"));
    EXPECT_FALSE(portIsFree(file.settings.signalingPort)) << "started before the failing step, and kept";
  }
  EXPECT_TRUE(portIsFree(file.settings.signalingPort));
  EXPECT_FALSE(log.contains("Shutting down application...")) << "shutdown is for a running application";
}

TEST(ApplicationStartup, GoesOnWithoutAudioAndWithDefaultsForAnUnreadableSettingsFile) {
  ComApartment com;
  LogCapture log;
  SettingsFile file;
  file.write("{\"signalingPort\": ");
  Application app;
  ASSERT_TRUE(app.initialize());
  EXPECT_EQ(log.count("Failed to load settings, using defaults"), 1u);
  EXPECT_EQ(app.settings.signalingPort, 9876);
  EXPECT_TRUE(log.hasLine(spdlog::level::warn, "Audio capture not available"));
  EXPECT_NE(app.getEncoderName(), "None") << "the stand-in runtimes lie beside the test";
  EXPECT_TRUE(log.contains("Signaling: ws://localhost:9876"));
  app.shutdown();
  EXPECT_TRUE(log.hasLine(spdlog::level::info, "Application shutdown complete"));
  EXPECT_EQ(app.getEncoderName(), "None");
  EXPECT_FALSE(app.isClientConnected());
}

// Start-up never writes the settings file: neither after a load that warned about a port nor
// after one that failed.
TEST(ApplicationStartup, LeavesASettingsFileWithABadPortOrAWrongKindAsItWas) {
  ComApartment com;
  for (const auto& [member, restLoads] :
       {std::pair("\"signalingPort\": 70000", true), std::pair("\"signalingPort\": \"9876\"", false)}) {
    SCOPED_TRACE(member);
    LogCapture log;
    SettingsFile file;
    const std::string port = "\"signalingPort\": " + std::to_string(file.settings.signalingPort);
    std::string bad = file.settings.toJsonText();
    bad.replace(bad.find(port), port.size(), member);
    file.write(bad);
    {
      // Whether start-up then succeeds does not matter here (another program on the machine may
      // hold a default port): the file is left alone either way.
      Application app;
      const bool started = app.initialize();
      EXPECT_EQ(app.settings.signalingPort, 9876);
      EXPECT_TRUE(log.contains("Initializing signaling server on port 9876..."));
      EXPECT_EQ(app.settings.videoPort, restLoads ? file.settings.videoPort : 9944)
          << "the rest of the file loads when only the port is out of range";
      if (started) {
        app.shutdown();
      }
    }
    std::stringstream after;
    after << std::ifstream(file.path).rdbuf();
    EXPECT_EQ(after.str(), bad);
  }
}

}  // namespace
