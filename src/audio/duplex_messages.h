// Every text the duplex routine prints, so that callers and tests can build
// the expected output from the same constants. Where a format has a "%s" for
// an error, it is filled with snd_strerror of the failing call's result.
#pragma once

// Set-up failures; each ends the process with exit status 1.
inline constexpr char kPlaybackOpenFailed[] = "Playback device could not be opened: %s\n";
inline constexpr char kPlaybackFormatFailed[] = "Problem setting playback format: %s\n";
inline constexpr char kPlaybackParamsFailed[] = "Problem setting playback parameters: %s\n";
inline constexpr char kCaptureOpenFailed[] = "unable to open pcm record device: %s\n";
inline constexpr char kCaptureFormatFailed[] = "Problem setting recording format: %s\n";
// Printed to standard output, unlike the other set-up failures.
inline constexpr char kCaptureParamsFailed[] = "Could not set record hardware parameters: %s\n";

// Warnings on standard output, in the order they can appear in a run.
inline constexpr char kPeriodWarning[] = "Driver did not return requested period size.";
// Granted rate, then requested rate.
inline constexpr char kRateWarning[] =
    "Driver did not return requested rate: got %u Hz instead of %u Hz.\n";
inline constexpr char kRunningTest[] = "Running Test...";
// Underruns (playback), then overruns (capture); printed after the transfer.
inline constexpr char kXrunWarning[] =
    "Warning: %ld underruns and %ld overruns during the test; the alignment and the "
    "results may be wrong.\n";

// Transfer failures on standard error; each ends the process with status 1.
inline constexpr char kPlaybackFailed[] = "Playback failed during the test: %s\n";
inline constexpr char kRecordingFailed[] = "Recording failed during the test: %s\n";
// Stands in for the error text when a stream stops moving altogether.
inline constexpr char kDeviceStalled[] = "the sound device stopped responding";
