import QtQuick
import QtQuick.Controls
import com.StreamController

// The working screen after sign-in. For now: the top bar with the channel and the logout
// confirmation; the broadcast controls join when the broadcast engine is in place.
Page {
    id: screen

    // 0: ready, 2: the logout dialog is shown.
    property int currentState: 0

    objectName: "broadcastScreen"

    background: Rectangle {
        gradient: Gradient {
            GradientStop {
                position: 0.0
                color: "#8B4545"
            }
            GradientStop {
                position: 1.0
                color: "#2D2D2D"
            }
        }
    }

    header: BroadcastHeader {
        objectName: "broadcastHeader"
        onProfileClicked: screen.currentState = 2
    }

    footer: ToolBar {
        objectName: "broadcastFooter"
        implicitHeight: 50
        background: Rectangle {
            color: "#000000"
        }
    }

    // Covers the whole page, header and footer included. It takes no clicks itself: outside
    // its card they reach the screen underneath.
    LogoutDialog {
        objectName: "logoutDialog"
        parent: screen
        anchors.fill: parent
        z: 1
        visible: screen.currentState === 2
        onLogoutConfirmed: {
            AuthController.logout();
            screen.StackView.view.pop();
        }
        onCancelled: screen.currentState = 0
    }
}
