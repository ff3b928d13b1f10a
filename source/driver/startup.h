// The program's entry: banner, versions, device probe, the buffers shared with
// the device, the folder lock, the stop signals, the work loop, release.
#pragma once

// Runs the whole program and returns its exit status (it may also exit).
int quilbrexMain();

// Banner, versions and device block, refusing what the build cannot use, then
// the buffers shared with the device: everything before the first assignment.
void StartDevice();
// Releases the buffers StartDevice allocated.
void ReleaseDevice();

// The standalone program takes no arguments: with any, it prints what it
// reads and writes and ends with status 1 before touching anything.
void RefuseArguments(int argc);
