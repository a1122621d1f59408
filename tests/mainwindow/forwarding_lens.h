// The part the camera-library stand-ins of these tests share: every export
// of the camera library, each passed on to the real library, which lies
// beside the stand-in as libTavrinLensReal.so. A call whose real function
// cannot be found returns -99 (or a null text) without running.
//
// A stand-in links forwarding_lens.cpp and defines BeforeCall and AfterCall,
// which see each call on the caller's thread with no lock of this code held.
#pragma once

#include <string>

namespace tavrin::test::forwarding_lens {

// Before the call is passed on; name is the export's name.
void BeforeCall(const char* name);
// After it returned: "name|arg|...|=result|t=milliseconds", the time the
// steady clock showed when the call began. Pointers to results are written
// as "*"; a path buffer as the text it held when the call began.
void AfterCall(const std::string& line);

// Lets the real library go; the next call loads it again. A stand-in that
// calls this at unload leaves nothing of the real library mapped.
void ReleaseRealLibrary();

}  // namespace tavrin::test::forwarding_lens
