// The C interface's status codes are the device's Status values, number for
// number, and its documented time-outs are the link's: the compiler holds
// each pair together.
#pragma once

#include <cstdint>

#include "KestrelLib.h"
#include "config/device_state.h"
#include "protocol/board_protocol.h"
#include "protocol/status.h"

namespace kestrel {

static_assert(code(Status::Ok) == VXCLK_OK);
static_assert(code(Status::Failed) == VXCLK_FAILED);
static_assert(code(Status::NotConnected) == VXCLK_NOT_CONNECTED);
static_assert(code(Status::OutOfRange) == VXCLK_OUT_OF_RANGE);
static_assert(code(Status::InvalidInstance) == VXCLK_INVALID_INSTANCE);
static_assert(code(Status::CalibrationSourceSelected) == VXCLK_CALIBRATION_SELECTED);

// The time-outs the header documents are the ones the link uses.
static_assert(protocol::kConnectTimeoutMs == VXCLK_CONNECT_TIMEOUT_MS);
static_assert(protocol::kExchangeTimeoutMs == VXCLK_EXCHANGE_TIMEOUT_MS);

// So are the calibration sources.
static_assert(kCalibrationNone == VXCLK_CALIBRATION_NONE);
static_assert(kCalibrationBoard == VXCLK_CALIBRATION_BOARD);
static_assert(kCalibrationFile == VXCLK_CALIBRATION_FILE);

// Operations whose every failure the C interface reports as a plain failure.
constexpr Status failedUnlessOk(Status status) { return status == Status::Ok ? Status::Ok : Status::Failed; }

}  // namespace kestrel
