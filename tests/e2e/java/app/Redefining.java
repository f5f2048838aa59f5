package app;

import java.io.InputStream;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.Instrumentation;

// Redefines a class while it runs, as a debugger's hot swap does, with the
// bytes it was compiled to (which the tracer never changed). Run with this
// class as its own Java agent (-javaagent), which hands it the instrumentation.
public class Redefining {
    private static Instrumentation instrumentation;

    public static void premain(String options, Instrumentation given) {
        instrumentation = given;
    }

    // Its one method begins as a method that calls the tracer's hook does:
    // aload_0, then a static call.
    static final class Greeter {
        String greet() {
            return Names.of(this);
        }
    }

    static final class Names {
        static String of(Object who) {
            return who.getClass().getSimpleName();
        }
    }

    public static void main(String[] args) throws Exception {
        int rounds = Integer.parseInt(args[0]);
        Greeter greeter = new Greeter();
        for (int i = 0; i < rounds; i++) greeter.greet();
        byte[] compiled;
        try (InputStream in = Redefining.class.getResourceAsStream("Redefining$Greeter.class")) {
            compiled = in.readAllBytes();
        }
        instrumentation.redefineClasses(new ClassDefinition(Greeter.class, compiled));
        for (int i = 0; i < rounds; i++) {
            greeter.greet();
            new Greeter().greet();
        }
        System.out.println("redefined");
    }
}
