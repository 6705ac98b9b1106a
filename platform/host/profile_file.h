// The editor behind WritePrivateProfileStringA: sets one key of a profile
// (.ini) file's content, byte for byte in place. Pure: no file access, one
// pass over the content, one allocation for the result. Private to
// platform/host/.
//
// How it reads a file:
// - Lines end at CR LF, a lone LF or a lone CR; the last line may have no end.
//   Every byte is kept as it is, NUL bytes and bytes above 127 included.
// - A section line is a line whose first byte other than a blank (code 32) or
//   a tab is '['; the section name runs from there to the first ']' on the line, or to
//   the line's end when it has none, and what follows the ']' is ignored. A
//   UTF-8 byte order mark at the start of the file is stepped over. A section
//   runs from its section line up to the next section line; lines before the
//   first section line belong to no section.
// - A key line is any other line holding '='; its key is what stands before
//   the first '='. (A comment line such as "; a=b" is thus a key line of key
//   "; a", which no caller asks for.)
// - Section and key names are compared case-insensitively in code page 1252,
//   blanks and tabs before and after them ignored on either side, as the
//   readers of profile files ignore them. The first matching section and in
//   it the first matching key line are used: the line that readers take.
#ifndef SAVERSET_PLATFORM_HOST_PROFILE_FILE_H
#define SAVERSET_PLATFORM_HOST_PROFILE_FILE_H

#include <string>
#include <string_view>

#include "platform/platform_services.h"

namespace saverset::host {

// Sets `key` to `value` in [`section`] of the profile file content `content`
// (empty for a missing file) and stores the new content in `*edited`:
// - an existing key line becomes the bytes before its '=' as they stood, '=',
//   the value and the line's own line end (CR LF where it had none);
// - a missing key is inserted as key=value CR LF after the section's last key
//   line, or right after the section line when it has none (a CR LF is added
//   to that line where it had no line end);
// - a missing section is appended as [section] CR LF key=value CR LF, with a
//   CR LF first where the content is not empty and does not end with a line
//   end.
// The names of a new section and key are written without the blanks (code 32
// only) before and after them, as Windows writes them; the value as given.
//   ("", "Run", "Data", "x.vqx")                  => "[Run]\r\nData=x.vqx\r\n"
//   ("", " Run ", " Data ", " x ")                => "[Run]\r\nData= x \r\n"
//   ("[Boot]\n\tKey=old\n", "Boot", "key", "new")  => "[Boot]\n\tKey=new\n"
//   ("[Run]\nData = old\n", "run", "data", "new") => "[Run]\nData =new\n"
//   ("[Run]\r\na=1", "Run", "b", "2")             => "[Run]\r\na=1\r\nb=2\r\n"
//   ("; note", "Boot", "k", "")                   => "; note\r\n[Boot]\r\nk=\r\n"
// Returns ERROR_SUCCESS, or ERROR_INVALID_PARAMETER with `*edited` untouched
// for content that starts with a UTF-16 byte order mark (FF FE or FE FF) and
// for names or a value that would not read back as written: a section holding
// ']', CR or LF; a key holding '=', CR or LF or starting with '[' after its
// blanks and tabs; a value holding CR or LF.
LONG SetProfileString(std::string_view content, std::string_view section, std::string_view key,
                      std::string_view value, std::string* edited);

}  // namespace saverset::host

#endif  // SAVERSET_PLATFORM_HOST_PROFILE_FILE_H
