#include "platform/standin/win32/api_support.h"

#include <cstring>

#include "platform/standin/core/acl_walk.h"

namespace standin {

CallContext EnterCallTheLongWay(std::string_view name) {
  PlatformCallScope scope;
  Machine& machine = MachineForCall();
  DWORD error = ERROR_SUCCESS;
  if (machine.EnterCall(name, error))
    return {{}, &machine, error};
  return {{}, &machine, std::nullopt};
}

DWORD ReadCallerDescriptor(PSECURITY_DESCRIPTOR descriptor, OwnedDescriptor& out) {
  if (!descriptor)
    return ERROR_NOACCESS;
  DescriptorParts parts;
  if (ReadDescriptor(descriptor, parts) != ERROR_SUCCESS)
    return ERROR_INVALID_SECURITY_DESCR;
  out = OwnedDescriptor::From(parts);
  return ERROR_SUCCESS;
}

DWORD CopyOut(const OwnedDescriptor& sd, void* buffer, DWORD room, DWORD& size) {
  const std::vector<BYTE> bytes = sd.SelfRelative();
  size = static_cast<DWORD>(bytes.size());
  if (room < bytes.size())
    return ERROR_INSUFFICIENT_BUFFER;
  if (!buffer)
    return ERROR_NOACCESS;
  std::memcpy(buffer, bytes.data(), bytes.size());
  ForgetAclWalks();
  return ERROR_SUCCESS;
}

}  // namespace standin
