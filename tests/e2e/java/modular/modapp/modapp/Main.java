package modapp;

// Calls of instance, default, static and constructor methods inside a
// named module, with a subclass and an interface of its own; with a second
// argument "hashes", the identity hash codes of objects it made after them.
public class Main {
    interface Shape {
        double area();

        default String describe() {
            return name() + " " + Math.round(area());
        }

        String name();
    }

    static class Square implements Shape {
        final double side;

        Square(double side) { this.side = side; }

        @Override public double area() { return side * side; }

        @Override public String name() { return "square"; }
    }

    static final class Cube extends Square {
        Cube(double side) { super(side); }

        @Override public double area() { return 6 * super.area(); }

        @Override public String name() { return "cube"; }
    }

    public static void main(String[] args) {
        int count = Integer.parseInt(args[0]);
        long total = 0;
        for (int i = 1; i <= count; i++) {
            Shape shape = i % 3 == 0 ? new Cube(i) : new Square(i);
            total += shape.describe().length();
        }
        System.out.println("modapp " + Main.class.getModule().getName() + " " + total);
        if (args.length > 1 && args[1].equals("hashes")) {
            StringBuilder out = new StringBuilder();
            for (int i = 0; i < 4; i++) {
                out.append(Integer.toHexString(System.identityHashCode(new Square(i)))).append(' ');
            }
            out.append("| class ").append(Integer.toHexString(Main.class.hashCode()));
            System.out.println(out);
        }
    }
}
