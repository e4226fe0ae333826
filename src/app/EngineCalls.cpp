#include "app/EngineCalls.hpp"

#include <QAbstractButton>
#include <QAction>

namespace app {

void EngineCalls::EnableControls(bool enabled) const
{
    for (const auto& [control, policy] : Controls) {
        if (auto* button = qobject_cast<QAbstractButton*>(control))
            button->setEnabled(enabled);
        else if (auto* action = qobject_cast<QAction*>(control))
            action->setEnabled(enabled);
    }
}

} // namespace app
