package app;

// A deterministic program: every line it makes the agent write is known.
public class Main {
    static int created;

    static {
        created = 0;
    }

    public static void main(String[] args) {
        Animal animal = new Animal("generic");
        animal.speak();
        Animal dog = new Dog("Rex");
        dog.speak();        // declared by Animal, receiver a Dog
        dog.fetch();        // overridden in Dog
        try {
            dog.fail();
        } catch (IllegalStateException expected) {
            // the exit line of fail() is still written
        }
        try {
            parse("x");
        } catch (NumberFormatException expected) {
            // left by an exception thrown inside the JDK
        }
        sum(1L, 2L);        // a static method with long parameters looks like an instance one
        Box<Animal> box = new Box<Animal>(dog);
        box.get();
        for (int i = 0; i < 40; i++) {
            new Counter(i).value();
        }
        Steps.run();
    }

    static int parse(String text) {
        return Integer.parseInt(text);
    }

    static long sum(long a, long b) {
        return a + b;
    }
}
