// QVMailPlugin: the plug-in's principal class. Mail loads the bundle and first uses this
// class; its class initialisation installs the plug-in (the start-up's steps are shared with
// every host: shell/QVPluginRules.h). Its class methods switch the plug-in on and off.
#pragma once

#import <Foundation/Foundation.h>

// Declared under NSObject: Mail's plug-in base class MVMailBundle lives in Mail and is made
// the superclass at run time (a class named here would have to exist when the bundle loads).
@interface QVMailPlugin : NSObject
+ (void)toggle:(id)sender;
+ (void)toggleTo:(BOOL)state;
+ (void)toggleOn;
+ (void)toggleOff;
@end

namespace qv::objc {
// What the bundle adds to Mail's classes at the start-up (the categories QVTraits): false
// for a class Mail does not have.
bool addGeneratorTraits();
bool addPreferencesTraits();
// Makes the class QVPreferences, a subclass of Mail's NSPreferencesModule holding the pane's
// methods; false without Mail's class.
bool makePreferencesModule();
}  // namespace qv::objc
