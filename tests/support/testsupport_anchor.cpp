// Keeps the test-support library non-empty while it has no other sources.
namespace mvsdk::test { [[maybe_unused]] int testsupport_anchor = 0; }
