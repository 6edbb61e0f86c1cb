#include "platform/standin/machine/messages.h"

namespace standin {

namespace {

struct MessageEntry {
  DWORD code;
  const wchar_t* text;
};

// Texts as the system message table holds them, line break included.
const MessageEntry kMessages[] = {
    {0, L"The operation completed successfully.\r\n"},
    {1, L"Incorrect function.\r\n"},
    {2, L"The system cannot find the file specified.\r\n"},
    {3, L"The system cannot find the path specified.\r\n"},
    {4, L"The system cannot open the file.\r\n"},
    {5, L"Access is denied.\r\n"},
    {6, L"The handle is invalid.\r\n"},
    {8, L"Not enough memory resources are available to process this command.\r\n"},
    {14, L"Not enough memory resources are available to complete this operation.\r\n"},
    {19, L"The media is write protected.\r\n"},
    {31, L"A device attached to the system is not functioning.\r\n"},
    {32, L"The process cannot access the file because it is being used by another process.\r\n"},
    {33,
     L"The process cannot access the file because another process has locked a portion of the "
     L"file.\r\n"},
    {50, L"The request is not supported.\r\n"},
    {53, L"The network path was not found.\r\n"},
    {80, L"The file exists.\r\n"},
    {87, L"The parameter is incorrect.\r\n"},
    {112, L"There is not enough space on the disk.\r\n"},
    {122, L"The data area passed to a system call is too small.\r\n"},
    {123, L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {124, L"The system call level is not correct.\r\n"},
    {145, L"The directory is not empty.\r\n"},
    {161, L"The specified path is invalid.\r\n"},
    {183, L"Cannot create a file when that file already exists.\r\n"},
    {206, L"The filename or extension is too long.\r\n"},
    {234, L"More data is available.\r\n"},
    {277, L"The extended attribute table file is full.\r\n"},
    {1008, L"An attempt was made to reference a token that does not exist.\r\n"},
    {1009, L"The configuration registry database is corrupt.\r\n"},
    {1016,
     L"An I/O operation initiated by the registry failed unrecoverably. The registry could not "
     L"read in, or write out, or flush, one of the files that contain the system's image of the "
     L"registry.\r\n"},
    {1117, L"The request could not be performed because of an I/O device error.\r\n"},
    {1300, L"Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1305, L"The revision level is unknown.\r\n"},
    {1306, L"Indicates two revision levels are incompatible.\r\n"},
    {1307, L"This security ID may not be assigned as the owner of this object.\r\n"},
    {1309,
     L"An attempt has been made to operate on an impersonation token by a thread that is not "
     L"currently impersonating a client.\r\n"},
    {1332, L"No mapping between account names and security IDs was done.\r\n"},
    {1336, L"The access control list (ACL) structure is invalid.\r\n"},
    {1337, L"The security ID structure is invalid.\r\n"},
    {1338, L"The security descriptor structure is invalid.\r\n"},
    {1344, L"No more memory is available for security information updates.\r\n"},
    {1346,
     L"Either a required impersonation level was not provided, or the provided impersonation "
     L"level is invalid.\r\n"},
    {1347, L"Cannot open an anonymous level security token.\r\n"},
    {1350,
     L"Unable to perform a security operation on an object that has no associated security.\r\n"},
    {1360,
     L"Generic access types were contained in an access mask which should already be mapped to "
     L"nongeneric types.\r\n"},
    {1361, L"A security descriptor is not in the right format (absolute or self-relative).\r\n"},
    {1722, L"The RPC server is unavailable.\r\n"},
    {1815, L"The specified resource language ID cannot be found in the image file.\r\n"},
    {2220, L"The group name could not be found.\r\n"},
    {2221, L"The user name could not be found.\r\n"},
    {2453, L"Could not find domain controller for this domain.\r\n"},
};

}  // namespace

const std::map<DWORD, std::wstring>& DefaultMessageTexts() {
  static const std::map<DWORD, std::wstring> texts = [] {
    std::map<DWORD, std::wstring> map;
    for (const auto& m : kMessages)
      map.emplace(m.code, m.text);
    return map;
  }();
  return texts;
}

}  // namespace standin
