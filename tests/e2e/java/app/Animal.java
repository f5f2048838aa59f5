package app;

public class Animal {
    private final String name;

    public Animal(String name) {
        this.name = name;
        Main.created++;
    }

    public String speak() {
        return name;
    }

    public void fetch() {
    }

    public void fail() {
        throw new IllegalStateException("no");
    }
}
