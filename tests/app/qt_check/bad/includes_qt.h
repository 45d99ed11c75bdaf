#pragma once
// Deliberately wrong: a core header that includes Qt. The Qt check must refuse it.
#include <QString>
