// Loads the built plug-in with dlopen and finds its hooks by their C++
// linkage names, as the reader program does.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "vexa_daq_reader_2024.h"

namespace {

TEST(PluginLoad, FindsHooksByLinkageName) {
  void* handle = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  for (const char* symbol :
       {"_Z14vexa_user_helpv", "_Z19vexa_user_init_2010iPPcP20vexa_daq_reader_2010",
        "_Z19vexa_user_init_2024iPPcP20vexa_daq_reader_2024",
        "_Z14vexa_user_loopP16vexa_daq_getdata", "_Z18vexa_user_end_2010P20vexa_daq_reader_2010",
        "_Z18vexa_user_end_2024P20vexa_daq_reader_2024", "nchans", "chans"}) {
    EXPECT_NE(dlsym(handle, symbol), nullptr) << symbol;
  }
  // Internal helpers stay hidden.
  EXPECT_EQ(dlsym(handle, "_ZN3daq13parse_optionsEiPPc"), nullptr);
}

TEST(PluginLoad, StartHookWithoutReaderReturnsMinusOne) {
  void* handle = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto init = reinterpret_cast<int (*)(int, char**, vexa_daq_reader_2024*)>(
      dlsym(handle, "_Z19vexa_user_init_2024iPPcP20vexa_daq_reader_2024"));
  ASSERT_NE(init, nullptr);
  char word[] = "libDAQUser.so";
  char* argv[] = {word, nullptr};
  EXPECT_EQ(init(1, argv, nullptr), -1);
}

}  // namespace
