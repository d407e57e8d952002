// The preload attachment: loaded with LD_PRELOAD by `sesim run`, it makes the device paths
// named in SESIM_ATTACH ("PATH=DIR" lines) nodes of the sg driver (sg_node.cpp) with the
// enclosure in DIR behind them. Every other path and descriptor passes straight through.
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "sesim_session.h"
#include "sesim_sysfs_view.h"
#include "sg_node.h"

namespace
{

constexpr int kMaxAttachments = sesim::kMaxAttachedEnclosures;

// An enclosure attached at a path; its session starts when the path is first opened.
class Attachment final : public sgnode::Device
{
  public:
    char path[PATH_MAX];
    char dir[PATH_MAX];
    char nodeFile[PATH_MAX + 8];

    const char* NodeFile() override { return nodeFile; }

    int Attach() override
    {
        if (session_ == nullptr && !failed_)
        {
            session_ = new (std::nothrow) sesim::Session();
            std::string error;
            if (session_ == nullptr || !session_->Open(dir, &error))
            {
                dprintf(2, "sesim: %s: %s\n", path, error.c_str());
                delete session_;
                session_ = nullptr;
                failed_ = true;
            }
        }
        if (session_ == nullptr)
        {
            return ENXIO;
        }
        return session_->Gone() ? ENODEV : 0;
    }

    void Execute(const sesim::Command& command, sesim::Result* result, int64_t arrivalNs) override
    {
        session_->Execute(command, result, arrivalNs);
    }
    int64_t DeadlineNs() override { return session_->DeadlineNs(); }
    void Pace() override { session_->Pace(); }
    bool Reset(sesim::ResetKind kind) override { return session_->Reset(kind); }
    uint8_t DeviceType() override { return session_->store().config().deviceType; }

  private:
    sesim::Session* session_ = nullptr;
    bool failed_ = false;
};

Attachment g_attachments[kMaxAttachments];
int g_attachmentCount = 0;

// The variable's "PATH=DIR" lines, read once at load time.
__attribute__((constructor)) void LoadAttachments()
{
    const char* attachment = getenv("SESIM_ATTACH");
    if (attachment == nullptr)
    {
        return;
    }
    const char* p = attachment;
    while (*p != '\0' && g_attachmentCount < kMaxAttachments)
    {
        const char* end = strchr(p, '\n');
        size_t length = end != nullptr ? (size_t)(end - p) : strlen(p);
        // A search within the counted line, which has no terminator of its own.
        const char* eq = static_cast<const char*>(memchr(p, '=', length)); // NOLINT(bugprone-not-null-terminated-result)
        if (eq != nullptr && (size_t)(eq - p) < PATH_MAX && length - (size_t)(eq - p) - 1 < PATH_MAX)
        {
            Attachment& a = g_attachments[g_attachmentCount++];
            memcpy(a.path, p, (size_t)(eq - p));
            a.path[eq - p] = '\0';
            memcpy(a.dir, eq + 1, length - (size_t)(eq - p) - 1);
            a.dir[length - (size_t)(eq - p) - 1] = '\0';
            std::string nodeFile = std::string(a.dir) + "/" + sesim::kNodeFileName;
            memcpy(a.nodeFile, nodeFile.c_str(), std::min(nodeFile.size() + 1, sizeof(a.nodeFile) - 1));
        }
        p += length;
        if (*p == '\n')
        {
            p++;
        }
    }
    const char* paths[kMaxAttachments];
    const char* dirs[kMaxAttachments];
    for (int i = 0; i < g_attachmentCount; i++)
    {
        paths[i] = g_attachments[i].path;
        dirs[i] = g_attachments[i].dir;
    }
    sesim::ViewSetAttachments(paths, dirs, g_attachmentCount);
}

} // namespace

int sgnode::FindNode(const char* path)
{
    for (int i = 0; i < g_attachmentCount; i++)
    {
        if (strcmp(path, g_attachments[i].path) == 0)
        {
            return i;
        }
    }
    return sesim::ViewNodeAttachment(path);
}

int sgnode::OpenOther(const char* path, int flags)
{
    int fd = sesim::ViewOpen(path, flags);
    return fd == sesim::kViewPassThrough ? sgnode::kPassThrough : fd;
}

sgnode::Device* sgnode::NodeDevice(int node)
{
    return &g_attachments[node];
}
