// A stand-in for liblumo-capture.so in lumo-run's tests: a library that the
// dynamic loader can preload and that does nothing.
extern "C" int lumoFakeCapture() { return 0; }
