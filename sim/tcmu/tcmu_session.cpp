#include "tcmu_session.h"

#include <algorithm>
#include <cstring>

#include "sesim_scsi.h"

namespace sesim::tcmu
{
namespace
{

constexpr uint8_t kAscLogicalUnitCommunicationFailure = 0x08;

} // namespace

void SessionResponder::Execute(Exchange& x)
{
    const Command command = {x.cdb, x.cdbLength, x.dataOut, x.dataOutLength, x.dataIn, x.dataInCapacity};
    if (session_.Gone())
    {
        result_ = {};
        result_.outcome = Outcome::TransportError;
    }
    else
    {
        session_.Execute(command, &result_);
        session_.Pace();
    }
    if (result_.outcome == Outcome::Completed)
    {
        x.status = result_.status;
        x.senseLength = std::min(result_.senseLength, sizeof(x.sense));
        memcpy(x.sense, result_.sense, x.senseLength);
        x.dataInLength = std::min(result_.dataInLength, x.dataInCapacity);
        return;
    }
    // A target cannot make the initiator's adapter or ioctl fail; the nearest it can say is
    // that the logical unit cannot be reached.
    x.status = kStatusCheckCondition;
    x.senseLength = BuildSense(x.sense, sizeof(x.sense), session_.store().config().descriptorSense,
                               kSenseHardwareError, kAscLogicalUnitCommunicationFailure, 0,
                               FieldPointer{false, false, 0, -1});
    x.dataInLength = 0;
}

} // namespace sesim::tcmu
