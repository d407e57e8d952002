#ifndef SESIM_TCMU_SESSION_H
#define SESIM_TCMU_SESSION_H

#include <string>

#include "sesim_model.h"
#include "sesim_session.h"
#include "tcmu_ring.h"

namespace sesim::tcmu
{

// Answers the ring's commands with the enclosure of a state directory: the same model, state
// store and command log as the preload attachment. The state is reread for every command, so
// `sesim fault` and `sesim power-cycle` take effect while the handler runs.
class SessionResponder : public Responder
{
  public:
    bool Open(const std::string& dir, std::string* error) { return session_.Open(dir, error); }
    void Execute(Exchange& exchange) override;

  private:
    Session session_;
    Result result_ = {};
};

} // namespace sesim::tcmu

#endif
