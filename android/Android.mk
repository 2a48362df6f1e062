# Build rules for a device tree of the Android 4.4 era (see README in this
# folder). Modules: vexd, morvane, vexctl and vexlog (each of the two tools
# also as a host program), and the unit tests (vexd_unit_tests).
#
# Needed from the build (set them in the device's BoardConfig.mk or on the
# make command line):
#   VEXD_MINIZIP_DIR  folder with minizip's zip.c, ioapi.c, zip.h, ioapi.h,
#                     crypt.h (the ZIP writer is compiled into vexd), and
#                     unzip.c, unzip.h for vexlog (left out without them);
#                     default: external/zlib/src/contrib/minizip
#   VEXD_GTEST_DIR    a googletest 1.11 or later source tree (the tests use
#                     GTEST_FLAG_SET, which the platform's external/gtest lacks)
# The code is C++20: the module flags ask for it, so the compiler the device
# build uses for these modules must know -std=c++20 (see README).
LOCAL_PATH := $(call my-dir)
VEXD_ANDROID_DIR := $(LOCAL_PATH)
VEXD_TOP := ..

# The version the tools report (--version): project(VERSION) in the top
# CMakeLists.txt, which a test holds this to.
VEXD_VERSION ?= 1.0.0

define newline


endef
VEXD_MINIZIP_DIR ?= external/zlib/src/contrib/minizip

vexd_cflags := -Wall -Wextra -Werror -DNOCRYPT -DNOUNCRYPT -DIOAPI_NO_64
vexd_cppflags := -std=c++20
vexd_includes := \
    $(LOCAL_PATH)/$(VEXD_TOP)/vexd \
    $(LOCAL_PATH)/$(VEXD_TOP)/check \
    $(LOCAL_PATH)/$(VEXD_TOP)/common \
    $(LOCAL_PATH)/$(VEXD_TOP)/slnk/src \
    $(LOCAL_PATH)/$(VEXD_TOP)/dlnk/src \
    $(LOCAL_PATH)/$(VEXD_TOP)/rlnk/src \
    $(LOCAL_PATH)/$(VEXD_TOP)/tmr/src \
    $(VEXD_MINIZIP_DIR) \
    external/zlib

# The sources in FOLDERs (below the repository's top) matching PATTERNs,
# named as LOCAL_SRC_FILES wants them: $(call vexd_sources,FOLDER/*.cpp ...).
vexd_sources = $(sort $(patsubst $(LOCAL_PATH)/%,%,$(wildcard $(addprefix $(LOCAL_PATH)/$(VEXD_TOP)/,$(1)))))

# Every unit of the daemon but main(), shared by the daemon and the tests: as
# in vexd/CMakeLists.txt, every vexd/*.cpp but main.cpp.
vexd_core_src := \
    $(filter-out %/main.cpp,$(call vexd_sources,vexd/*.cpp)) \
    $(VEXD_TOP)/slnk/src/slnk.cpp \
    $(VEXD_TOP)/dlnk/src/dlnk.cpp \
    $(VEXD_TOP)/rlnk/src/rlnk.cpp \
    $(VEXD_TOP)/tmr/src/tmr.cpp \
    $(VEXD_TOP)/tmr/src/tmr_cb.cpp

# A static library of minizip's sources, as C, with the plain 32-bit file
# calls (bionic of this era has no fseeko64/ftello64; IOAPI_NO_64):
# $(call vexd_minizip_library,NAME,SOURCES,HOST_ for a host library).
define vexd_minizip_library
LOCAL_PATH := $$(VEXD_MINIZIP_DIR)
include $$(CLEAR_VARS)
LOCAL_MODULE := $(1)
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := $(2)
LOCAL_C_INCLUDES := $$(VEXD_MINIZIP_DIR) external/zlib
LOCAL_CFLAGS := -DNOCRYPT -DNOUNCRYPT -DIOAPI_NO_64 -Wno-unused-parameter
include $$(BUILD_$(3)STATIC_LIBRARY)
LOCAL_PATH := $$(VEXD_ANDROID_DIR)
endef

# The ZIP writer: minizip's writing half.
$(eval $(call vexd_minizip_library,libvexd_minizip,zip.c ioapi.c))

include $(CLEAR_VARS)
LOCAL_MODULE := libvexd_core
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := $(vexd_core_src)
LOCAL_C_INCLUDES := $(vexd_includes)
LOCAL_CFLAGS := $(vexd_cflags)
LOCAL_CPPFLAGS := $(vexd_cppflags)
include $(BUILD_STATIC_LIBRARY)

# The daemon: /system/bin/vexd, started by init (init.vexd.rc).
include $(CLEAR_VARS)
LOCAL_MODULE := vexd
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := $(VEXD_TOP)/vexd/main.cpp
LOCAL_C_INCLUDES := $(vexd_includes)
LOCAL_CFLAGS := $(vexd_cflags)
LOCAL_CPPFLAGS := $(vexd_cppflags)
LOCAL_STATIC_LIBRARIES := libvexd_core libvexd_minizip
LOCAL_SHARED_LIBRARIES := libz libc
LOCAL_MODULE_PATH := $(TARGET_OUT_EXECUTABLES)
include $(BUILD_EXECUTABLE)

# The band configuration tool: /system/bin/morvane, linked at load time
# against the platform's libnvkeep.so (which the vendor tree provides as a
# prebuilt module named libnvkeep). nvkeep.h declares its two entry points.
include $(CLEAR_VARS)
LOCAL_MODULE := morvane
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := $(VEXD_TOP)/morvane/morvane.cpp $(VEXD_TOP)/morvane/morvane_strap.cpp
LOCAL_C_INCLUDES := $(LOCAL_PATH)/$(VEXD_TOP)/sim/nvkeep
LOCAL_CFLAGS := -Wall -Wextra -Werror
LOCAL_CPPFLAGS := $(vexd_cppflags)
LOCAL_SHARED_LIBRARIES := libnvkeep libc
LOCAL_MODULE_PATH := $(TARGET_OUT_EXECUTABLES)
include $(BUILD_EXECUTABLE)

# The tools: /system/bin/vexctl and /system/bin/vexlog on the handset, and
# the same two as host programs (out/host/<os>/bin), which read pulled
# archives and reach a daemon through a socket's path.
vexd_tool_includes := \
    $(LOCAL_PATH)/$(VEXD_TOP)/common \
    $(LOCAL_PATH)/$(VEXD_TOP)/tools \
    $(LOCAL_PATH)/$(VEXD_TOP)/tools/vexlog \
    $(VEXD_MINIZIP_DIR) \
    external/zlib
# vexlog is tools/vexlog.cpp and whatever tools/vexlog/ holds.
vexlog_src := $(call vexd_sources,tools/vexlog.cpp tools/vexlog/*.cpp)
# vexctl is whatever tools/vexctl/ holds.
vexctl_src := $(call vexd_sources,tools/vexctl/*.cpp)

define vexd_tool_modules
include $$(CLEAR_VARS)
LOCAL_MODULE := vexctl
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := $$(vexctl_src)
LOCAL_C_INCLUDES := $$(vexd_tool_includes)
LOCAL_CFLAGS := -Wall -Wextra -Werror -DVEXCTL_VERSION=\"$$(VEXD_VERSION)\"
LOCAL_CPPFLAGS := $$(vexd_cppflags)
include $$(BUILD_$(1)EXECUTABLE)

ifneq ($$(wildcard $$(VEXD_MINIZIP_DIR)/unzip.c),)
include $$(CLEAR_VARS)
LOCAL_MODULE := vexlog
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := $$(vexlog_src)
LOCAL_C_INCLUDES := $$(vexd_tool_includes)
LOCAL_CFLAGS := $$(vexd_cflags) -DVEXLOG_VERSION=\"$$(VEXD_VERSION)\"
LOCAL_CPPFLAGS := $$(vexd_cppflags)
LOCAL_STATIC_LIBRARIES := libvexd_unzip libvexd_minizip $(2)
LOCAL_SHARED_LIBRARIES := $(3)
include $$(BUILD_$(1)EXECUTABLE)
endif
endef

ifneq ($(wildcard $(VEXD_MINIZIP_DIR)/unzip.c),)
# minizip's reading half for vexlog; the host libraries are built the same
# way as the device's, so that one build serves both.
$(eval $(call vexd_minizip_library,libvexd_unzip,unzip.c))
$(eval $(call vexd_minizip_library,libvexd_unzip,unzip.c,HOST_))
$(eval $(call vexd_minizip_library,libvexd_minizip,zip.c ioapi.c,HOST_))
else
$(warning vexd: no unzip.c in $(VEXD_MINIZIP_DIR): vexlog is left out)
endif

# Device: zlib is the platform's libz.so. Host: external/zlib's host libz.
$(eval $(call vexd_tool_modules,,,libz libc))
$(eval $(call vexd_tool_modules,HOST_,libz,))

# Unit tests: one program per tests/unit/<name>_test.cpp, installed under
# /data/nativetest/vexd/ (run each with no arguments; all must pass). They
# link the test stand-in for system(3), so they never post to the kernel log.
ifneq ($(VEXD_GTEST_DIR),)
LOCAL_PATH := $(VEXD_GTEST_DIR)/googletest
include $(CLEAR_VARS)
LOCAL_MODULE := libvexd_gtest
LOCAL_MODULE_TAGS := tests
LOCAL_SRC_FILES := src/gtest-all.cc src/gtest_main.cc
LOCAL_C_INCLUDES := $(VEXD_GTEST_DIR)/googletest/include $(VEXD_GTEST_DIR)/googletest
LOCAL_CPPFLAGS := -std=c++20
LOCAL_CPP_EXTENSION := .cc
include $(BUILD_STATIC_LIBRARY)
LOCAL_PATH := $(VEXD_ANDROID_DIR)

vexd_tests := $(notdir $(basename $(wildcard $(LOCAL_PATH)/$(VEXD_TOP)/tests/unit/*_test.cpp)))
$(foreach t,$(vexd_tests),$(eval \
    include $(CLEAR_VARS)$(newline)\
    LOCAL_MODULE := vexd_$(t)$(newline)\
    LOCAL_MODULE_TAGS := tests$(newline)\
    LOCAL_SRC_FILES := $(VEXD_TOP)/tests/unit/$(t).cpp $(VEXD_TOP)/tests/support/fake_system.cpp$(newline)\
    LOCAL_C_INCLUDES := $(vexd_includes) $(LOCAL_PATH)/$(VEXD_TOP)/tests/support $(VEXD_GTEST_DIR)/googletest/include$(newline)\
    LOCAL_CFLAGS := $(vexd_cflags)$(newline)\
    LOCAL_CPPFLAGS := -std=c++20$(newline)\
    LOCAL_STATIC_LIBRARIES := libvexd_core libvexd_minizip libvexd_gtest$(newline)\
    LOCAL_SHARED_LIBRARIES := libz libc$(newline)\
    LOCAL_MODULE_PATH := $(TARGET_OUT_DATA_NATIVE_TESTS)/vexd$(newline)\
    include $(BUILD_EXECUTABLE)))

# vexd_unit_tests builds them all: mmm <this folder> vexd_unit_tests
.PHONY: vexd_unit_tests
vexd_unit_tests: $(addprefix vexd_,$(vexd_tests))
endif
