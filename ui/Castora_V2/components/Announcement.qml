import QtQuick

// A message that screen readers announce as it appears or changes (dead air, a lost
// microphone, the network bar, toasts): an alert whose name is the message. Qt 6.4 has no
// announcement call of its own, and its AT-SPI bridge reports an item coming into view only
// as a change of its name: the name is empty while the item is hidden, so that both the
// message appearing and a new message reach screen readers as
// object:property-change:accessible-name. Put it inside the item that shows the message;
// without a message, or hidden, it is not exposed.
Item {
    property string message

    anchors.fill: parent
    Accessible.role: Accessible.AlertMessage
    Accessible.name: visible ? message : ""
    Accessible.ignored: !visible || message === ""
}
