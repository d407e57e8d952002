// One emulation of a node of the Linux sg driver, with the device behind it supplied by the
// library that links it (the enclosure model in the preload attachment, canned answers in the
// scripted test device). It holds the driver's rules: the sg_io_hdr checks in the driver's
// order, the data transfer with EFAULT for a bad pointer, the sg ioctls, and a character device
// for the stat family. The interposed C functions are in one table in sg_node.cpp.
#ifndef SESIM_SG_NODE_H
#define SESIM_SG_NODE_H

#include <cstdint>

#include "sesim_model.h"

namespace sgnode
{

class Device
{
  public:
    // The file a descriptor of the node is opened on: one per device, so that an advisory lock
    // on the node's descriptor is a lock on the device, and its directory's permissions decide
    // who may open it.
    virtual const char* NodeFile() = 0;
    // The device is opened: 0, or the errno that the open fails with.
    virtual int Attach() = 0;
    // Runs one command that passed the driver's checks; arrivalNs (sesim::MonotonicNs) is when
    // the request reached the driver.
    virtual void Execute(const sesim::Command& command, sesim::Result* result, int64_t arrivalNs) = 0;
    // When the command's answer may go back (sesim::MonotonicNs), 0 for at once; and the wait for it.
    virtual int64_t DeadlineNs() { return 0; }
    virtual void Pace() {}
    virtual bool Reset(sesim::ResetKind kind) = 0;
    virtual uint8_t DeviceType() = 0;

  protected:
    ~Device() = default;
};

// Supplied by the library that links this unit: the number of the node at PATH (from 0), or -1
// for a path that is not one; and the device of a node.
int FindNode(const char* path);
Device* NodeDevice(int node);
// Also supplied by it: opens a path that is no node but that the library answers itself (a
// descriptor, or -1 with errno set), or gives kPassThrough for a path the C library opens.
constexpr int kPassThrough = -2;
int OpenOther(const char* path, int flags);

} // namespace sgnode

#endif
