// BuildDate - the date this program was built, as the version line shows it
#pragma once

const char* UpdaterBuildDate();
