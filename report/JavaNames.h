// Turns the VM's type-descriptor forms of trace lines into the Java forms
// that people and flame-graph tools read.
#pragma once

#include <string>
#include <string_view>

// The parts of an event text "classSignature name signature" as the trace
// writes it: the class signature ("Lapp/Job;" or "(null)"), the method name
// and the method signature (a descriptor or "(null)").
struct EventText {
    std::string_view classSignature;
    std::string_view name;
    std::string_view signature;
};

// Splits an event text; false when it has no class part or no signature.
bool splitEventText(std::string_view text, EventText& parts);

// "Lapp/Outer$Inner;" gives "app.Outer$Inner"; anything else is returned
// as it is.
std::string javaClassName(std::string_view classSignature);

// The frame of a method: class with dots, '.', name, and the parameter
// types in Java form, comma-separated, without return type:
// "app.Box.put(java.lang.Object,int)". A signature that is no valid
// descriptor is kept as it is. Never contains ';' (written ':'), so that
// frames can be joined with ';'.
std::string javaFrame(const EventText& parts);
