#include "tests/support/test_devices.h"

std::shared_ptr<ScriptedController> test_controller_attach(TestPort& port) {
    auto controller = std::make_shared<ScriptedController>();
    port.device = [controller](TestPort& self, std::span<const std::uint8_t> bytes) {
        for (std::uint8_t byte : bytes) {
            if (byte != '\r') {
                controller->pending.push_back(static_cast<char>(byte));
                continue;
            }
            controller->commands.push_back(controller->pending);
            if (controller->answer_limit >= 0 &&
                controller->commands.size() > static_cast<std::size_t>(controller->answer_limit)) {
                // fallen silent
            } else if (controller->pending == "pr mv") {
                char flag = '0';
                if (!controller->motion.empty()) {
                    flag = controller->motion.front();
                    controller->motion.pop_front();
                }
                test_port_push_read(self, std::string("pr mv\r\n") + flag + "\r\n>");
            } else if (controller->pending == "pr er" && !controller->error_register.empty()) {
                test_port_push_read(self, "pr er\r\n" + controller->error_register + "\r\n>");
            } else {
                test_port_push_read(self, "\r\n>");
            }
            controller->pending.clear();
        }
    };
    return controller;
}

std::shared_ptr<ScriptedGyro> test_gyro_attach(TestPort& port) {
    auto gyro = std::make_shared<ScriptedGyro>();
    port.device = [gyro](TestPort& self, std::span<const std::uint8_t> bytes) {
        for (std::uint8_t byte : bytes) {
            if (byte != 'G') {
                continue;
            }
            ++gyro->polls;
            if (!gyro->replies.empty()) {
                test_port_push_read(self, gyro->replies.front());
                gyro->replies.pop_front();
            }
        }
    };
    return gyro;
}

std::array<std::uint8_t, 30> test_gyro_frame(const std::array<std::uint16_t, 14>& words) {
    std::array<std::uint8_t, 30> frame{};
    frame[0] = 0xA5;
    unsigned sum = 0;
    for (std::size_t k = 0; k < words.size(); ++k) {
        frame[2 * k + 1] = static_cast<std::uint8_t>(words[k] >> 8);
        frame[2 * k + 2] = static_cast<std::uint8_t>(words[k] & 0xFF);
        sum += unsigned{frame[2 * k + 1]} + unsigned{frame[2 * k + 2]};
    }
    frame[29] = static_cast<std::uint8_t>(sum & 0xFF);
    return frame;
}
