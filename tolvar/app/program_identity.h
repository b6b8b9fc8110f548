#pragma once
// How the program names itself to Qt: the About box, window titles and the configuration folder
// read these from the application object.

namespace tolvar {

// Sets the application name, organisation, title and this build's version.
void setProgramIdentity();

}  // namespace tolvar
