import QtQuick

// A message that screen readers announce as it appears or changes (dead air, a lost
// microphone, the network bar, toasts): an alert whose name is the message. Qt 6.4 has no
// announcement call of its own; AT-SPI reports an alert coming into view (object:state-changed:
// showing) and a change of its name (object:property-change:accessible-name). Put it inside
// the item that shows the message; without a message, or hidden, it is not exposed.
Item {
    property string message

    anchors.fill: parent
    Accessible.role: Accessible.AlertMessage
    Accessible.name: message
    Accessible.ignored: !visible || message === ""
}
