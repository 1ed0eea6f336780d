import QtQuick
import QtWebSockets
import com.StreamController

// The live messages of the channel's chat room, for the broadcast screen. A closed connection is
// opened again after a delay that grows from 1 s to 30 s while the server stays unreachable,
// and starts over once connected. A file of its own: the broadcast screen does not import
// QtWebSockets itself.
WebSocket {
    id: socket

    // Closed or failed connections in a row.
    property int failures: 0
    // The address is being changed: the old connection's close is expected.
    property bool moving: false
    readonly property Timer reconnectTimer: Timer {
        objectName: "chatReconnectTimer"
        onTriggered: {
            socket.active = false;
            socket.active = true;
        }
    }

    // A message from someone other than the channel itself.
    signal listenerMessage(name: string, message: string)

    active: false
    onTextMessageReceived: message => {
        const frame = ChatProtocol.parseFrame(message);
        if (!frame.hasMessage)
            return;
        ChatController.addMessage(2, frame.name, frame.message);
        if (frame.name !== StreamController.ChannelSlug)
            socket.listenerMessage(frame.name, frame.message);
    }
    onStatusChanged: {
        if (socket.status === WebSocket.Error) {
            console.log("# socket error " + socket.errorString);
        } else if (socket.status === WebSocket.Open) {
            console.log("# socket open");
            socket.failures = 0;
        } else if (socket.status === WebSocket.Closed) {
            console.log("# socket closed");
            if (socket.active && !socket.moving && !socket.reconnectTimer.running) {
                socket.reconnectTimer.interval = ChatProtocol.reconnectDelay(socket.failures);
                socket.failures += 1;
                socket.reconnectTimer.start();
            }
        }
    }
}
