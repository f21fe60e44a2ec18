// Key translation of the event loop: the window system's key codes as the
// virtual-key numbers the event filter works on, and the key a character
// is typed with (what send-event-os sends for a key-down or key-up).
#include <gtest/gtest.h>

#include "platform/window-system/window-messages.h"
#include "view/windows/event.h"

using namespace vum;
namespace key = win::key;

TEST(EventKeys, VirtualKeysOfTheWindowSystemsCodes) {
    struct Case {
        uint32_t code;
        uint32_t vk;
    };
    const Case cases[] = {
        // The ASCII keys are their own number.
        {key::backspace, 0x08}, {key::tab, 0x09}, {key::enter, 0x0D}, {key::escape, 0x1B}, {key::space, 0x20},
        {'0', 0x30}, {'9', 0x39}, {'A', 0x41}, {'Z', 0x5A},
        // Named keys, left and right told apart by our codes alone.
        {key::left, 0x25}, {key::up, 0x26}, {key::right, 0x27}, {key::down, 0x28},
        {key::page_up, 0x21}, {key::page_down, 0x22}, {key::home, 0x24}, {key::end, 0x23},
        {key::insert, 0x2D}, {key::delete_key, 0x2E}, {key::pause, 0x13}, {key::caps_lock, 0x14},
        {key::num_lock, 0x90}, {key::scroll_lock, 0x91},
        {key::left_shift, 0xA0}, {key::right_shift, 0xA1}, {key::left_control, 0xA2},
        {key::right_control, 0xA3}, {key::left_alt, 0xA4}, {key::right_alt, 0xA5},
        {key::left_super, 0x5B}, {key::right_super, 0x5C},
        // 0x11C: its low bits are no key of the character set.
        {key::menu, 0x5D},
        {key::f1, 0x70}, {key::f1 + 11, 0x7B}, {key::f1 + 23, 0x87},
        {key::keypad_0, 0x60}, {key::keypad_0 + 9, 0x69}, {key::keypad_multiply, 0x6A}, {key::keypad_add, 0x6B},
        {key::keypad_subtract, 0x6D}, {key::keypad_decimal, 0x6E}, {key::keypad_divide, 0x6F},
        {key::keypad_enter, 0x0D},
        {key::punctuation + ';', 0xBA}, {key::punctuation + '=', 0xBB}, {key::punctuation + ',', 0xBC},
        {key::punctuation + '-', 0xBD}, {key::punctuation + '.', 0xBE}, {key::punctuation + '/', 0xBF},
        {key::punctuation + '`', 0xC0}, {key::punctuation + '[', 0xDB}, {key::punctuation + '\\', 0xDC},
        {key::punctuation + ']', 0xDD}, {key::punctuation + '\'', 0xDE},
        {key::other, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(view::gui::virtual_key(c.code), c.vk) << "code 0x" << std::hex << c.code;
}

TEST(EventKeys, TheKeyACharacterIsTypedWith) {
    struct Case {
        uint32_t c;
        uint32_t code;
    };
    const Case cases[] = {
        {'a', 'A'}, {'Z', 'Z'}, {'7', '7'}, {' ', key::space}, {'\r', key::enter}, {'\n', key::enter},
        {'\t', key::tab}, {'\b', key::backspace}, {27, key::escape}, {';', key::punctuation + ';'},
        {0xE9, key::other}, {0x1F600, key::other},
    };
    for (const Case& c : cases) EXPECT_EQ(view::gui::key_of_character(c.c), c.code) << "character " << c.c;
}
