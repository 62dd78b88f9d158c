// insmod and rmmod: parameters, failing inits, what a module leaves behind, module use counts.
#include <fcntl.h>

#include <cerrno>

#include "kernel_fixture.hpp"
#include "testmod.h"

namespace {

using simktest::Board;

class Modules : public ::testing::Test {
  protected:
    tm_params params_of_loaded() {
        simk::OpenFile* f = nullptr;
        EXPECT_EQ(simk::dev_open(TM_MAJOR, 0, O_RDWR, task, &f), 0);
        tm_params p{};
        EXPECT_EQ(simk::dev_ioctl(f, TM_GET_PARAMS, reinterpret_cast<unsigned long>(&p), task), 0);
        simk::dev_release(f, task);
        return p;
    }

    Board board;
    simk::Task task{::getpid()};
    std::string error;
};

TEST_F(Modules, InsmodAppliesIntUintAndCharpParameters) {
    ASSERT_EQ(simk::insmod(TESTMOD_PATH, {"answer=-7", "count=0x10", "label=hello"}, error), 0)
        << error;
    const tm_params p = params_of_loaded();
    EXPECT_EQ(p.answer, -7);
    EXPECT_EQ(p.count, 16u);
    EXPECT_STREQ(p.label, "hello");
    EXPECT_EQ(simk::loaded_modules(), std::vector<std::string>{"testmod"});
    EXPECT_EQ(simk::rmmod("testmod"), 0);
    EXPECT_TRUE(simk::loaded_modules().empty());
}

TEST_F(Modules, ParametersKeepTheirDefaultsWhenNotGiven) {
    ASSERT_EQ(simk::insmod(TESTMOD_PATH, {}, error), 0) << error;
    const tm_params p = params_of_loaded();
    EXPECT_EQ(p.answer, 42);
    EXPECT_EQ(p.count, 3u);
    EXPECT_STREQ(p.label, "none");
    EXPECT_EQ(simk::rmmod("testmod"), 0);
}

TEST_F(Modules, BadParametersRefuseTheLoad) {
    EXPECT_EQ(simk::insmod(TESTMOD_PATH, {"nosuch=1"}, error), -ENOENT);
    EXPECT_NE(error.find("Unknown parameter `nosuch'"), std::string::npos) << error;
    EXPECT_EQ(simk::insmod(TESTMOD_PATH, {"answer=12abc"}, error), -EINVAL);
    EXPECT_EQ(simk::insmod(TESTMOD_PATH, {"count=-1"}, error), -EINVAL);
    EXPECT_EQ(simk::insmod(TESTMOD_PATH, {"answer=99999999999"}, error), -EINVAL);
    EXPECT_EQ(simk::insmod(TESTMOD_PATH, {"answer"}, error), -EINVAL);
    EXPECT_TRUE(simk::loaded_modules().empty());
}

TEST_F(Modules, FailingInitUnloadsTheModule) {
    EXPECT_EQ(simk::insmod(TESTMOD_PATH, {"fail_init=1"}, error), -ENODEV);
    EXPECT_NE(error.find("error inserting"), std::string::npos) << error;
    EXPECT_TRUE(simk::loaded_modules().empty());
    simk::OpenFile* f = nullptr;
    EXPECT_EQ(simk::dev_open(TM_MAJOR, 0, O_RDWR, task, &f), -ENXIO);
    // Nothing is left over: it loads again.
    ASSERT_EQ(simk::insmod(TESTMOD_PATH, {}, error), 0) << error;
    EXPECT_EQ(simk::rmmod("testmod"), 0);
}

TEST_F(Modules, WhatAFailedInitLeftRegisteredIsRemoved) {
    EXPECT_EQ(simk::insmod(TESTMOD_PATH, {"leak=1"}, error), -EIO);
    EXPECT_TRUE(board.console_has("testmod: timer"));
    EXPECT_TRUE(board.console_has("testmod: irq 18 still requested at unload"));
    EXPECT_TRUE(board.console_has("testmod: character device 200 (testmod) still registered"));
    EXPECT_TRUE(board.console_has("testmod: region 59000000-5900001f still claimed"));
    simk::OpenFile* f = nullptr;
    EXPECT_EQ(simk::dev_open(TM_MAJOR, 0, O_RDWR, task, &f), -ENXIO);
    // The interrupt it requested is masked again.
    EXPECT_NE(simktest::reg(simktest::kIntmsk) & (1u << 2), 0u);
    ASSERT_EQ(simk::insmod(TESTMOD_PATH, {}, error), 0) << error;
    EXPECT_EQ(simk::rmmod("testmod"), 0);
}

TEST_F(Modules, AnOpenFileKeepsTheModuleIn) {
    ASSERT_EQ(simk::insmod(TESTMOD_PATH, {}, error), 0) << error;
    simk::OpenFile* f = nullptr;
    ASSERT_EQ(simk::dev_open(TM_MAJOR, 1, O_RDONLY, task, &f), 0);
    EXPECT_EQ(simk::rmmod("testmod"), -EBUSY);
    simk::dev_release(f, task);
    EXPECT_EQ(simk::rmmod("testmod"), 0);
    EXPECT_EQ(simk::rmmod("testmod"), -ENOENT);
}

TEST_F(Modules, LoadingTwiceOrAMissingFileFails) {
    ASSERT_EQ(simk::insmod(TESTMOD_PATH, {}, error), 0) << error;
    EXPECT_EQ(simk::insmod(TESTMOD_PATH, {}, error), -EEXIST);
    EXPECT_EQ(simk::rmmod("testmod"), 0);
    EXPECT_EQ(simk::insmod("/nonexistent/mod.so", {}, error), -ENOEXEC);
    EXPECT_NE(error.find("/nonexistent/mod.so"), std::string::npos);
}

TEST_F(Modules, ShutdownRemovesModulesStillLoaded) {
    ASSERT_EQ(simk::insmod(TESTMOD_PATH, {}, error), 0) << error;
    simk::shutdown();
    EXPECT_TRUE(simk::loaded_modules().empty());
    EXPECT_TRUE(board.console_has("module testmod still loaded"));
    simk::boot();
}

}  // namespace
