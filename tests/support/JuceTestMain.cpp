// GoogleTest main for test programs that use JUCE: the framework (message
// manager included) is initialised before the first test and shut down after
// the last one, on the main thread, which acts as the message thread.
#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <cstdlib>
#include <string>

namespace
{
class JuceEnvironment final : public ::testing::Environment
{
public:
    void SetUp() override { initialiser = std::make_unique<juce::ScopedJuceInitialiser_GUI>(); }
    void TearDown() override { initialiser.reset(); }

private:
    std::unique_ptr<juce::ScopedJuceInitialiser_GUI> initialiser;
};
} // namespace

int main (int argc, char** argv)
{
    // The tests write per-user files (settings, saved analytics events): they
    // get a home folder of their own, never the user's.
    char folder[] = "/tmp/tarn-test-home-XXXXXX";
    if (::mkdtemp (folder) != nullptr)
        ::setenv ("HOME", folder, 1);

    ::testing::InitGoogleTest (&argc, argv);
    ::testing::AddGlobalTestEnvironment (new JuceEnvironment);
    return RUN_ALL_TESTS();
}
